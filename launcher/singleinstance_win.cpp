#include "singleinstance.h"

#include <QWinEventNotifier>

#include <string>
#include <vector>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

namespace {

// The SID of the account a process runs as; empty when it cannot be told.
QString accountSid(HANDLE process)
{
    QString sid;
    HANDLE token = nullptr;
    if (!::OpenProcessToken(process, TOKEN_QUERY, &token))
        return sid;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<char> buffer(size);
    LPWSTR text = nullptr;
    if (size > 0 && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)
        && ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid,
                                    &text)) {
        sid = QString::fromWCharArray(text);
        ::LocalFree(text);
    }
    ::CloseHandle(token);
    return sid;
}

// Whether a kernel object is owned as this process's own objects are: by the owner its token
// gives what it makes (the user, or the Administrators group for an elevated one).
bool ownedAsOurs(HANDLE object)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                          nullptr, nullptr, &descriptor)
        != ERROR_SUCCESS)
        return false;
    bool ours = false;
    HANDLE token = nullptr;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        DWORD size = 0;
        ::GetTokenInformation(token, TokenOwner, nullptr, 0, &size);
        std::vector<char> buffer(size);
        ours = size > 0 && ::GetTokenInformation(token, TokenOwner, buffer.data(), size, &size)
            && ::EqualSid(owner, reinterpret_cast<TOKEN_OWNER *>(buffer.data())->Owner);
        ::CloseHandle(token);
    }
    ::LocalFree(descriptor);
    return ours;
}

// An object of ours by that name, made now or found; null where the name holds another
// account's object, which without a private namespace anyone in the session can make first.
HANDLE ourObject(HANDLE made)
{
    if (made && ::GetLastError() == ERROR_ALREADY_EXISTS && !ownedAsOurs(made)) {
        ::CloseHandle(made);
        return nullptr;
    }
    return made;
}

// The user's SID sets this user's names apart from every other account's.
QString userIdentity()
{
    const QString sid = accountSid(::GetCurrentProcess());
    return sid.isEmpty() ? QString::fromLocal8Bit(qgetenv("USERNAME")) : sid;
}

} // namespace

QByteArray accountIdentity()
{
    return userIdentity().toUtf8();
}

void SingleInstance::useFolder(const QString &, const QString &key)
{
    // Kernel objects, not files: whatever other programs do with a file (open it unshared or
    // for deletion, lock its bytes, write into it) touches neither.
    lockPath = key;
    serverName = key + QStringLiteral("-show");
}

namespace {

const wchar_t kNamespace[] = L"Ludovane";

// Rules that admit this user alone, for the duration of the object.
class UserOnly
{
public:
    UserOnly()
    {
        const QString rules = QStringLiteral("D:P(A;;GA;;;%1)").arg(userIdentity());
        if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(
                reinterpret_cast<const wchar_t *>(rules.utf16()), SDDL_REVISION_1,
                &attributes.lpSecurityDescriptor, nullptr))
            valid = true;
    }
    ~UserOnly() { ::LocalFree(attributes.lpSecurityDescriptor); }
    UserOnly(const UserOnly &) = delete;
    UserOnly &operator=(const UserOnly &) = delete;

    SECURITY_ATTRIBUTES *get() { return valid ? &attributes : nullptr; }

private:
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    bool valid = false;
};

// A namespace private to this user: its boundary holds the user's SID, so that nobody else can
// make or open it, first or later. Made by the first launcher and opened by the others (one
// that ends in between is followed by another try); null where the system has none (Wine).
HANDLE openPrivateNamespace(UserOnly &rules)
{
    HANDLE found = nullptr;
    PSID user = nullptr;
    HANDLE boundary = ::CreateBoundaryDescriptorW(kNamespace, 0);
    if (boundary && rules.get()
        && ::ConvertStringSidToSidW(reinterpret_cast<const wchar_t *>(userIdentity().utf16()),
                                    &user)
        && ::AddSIDToBoundaryDescriptor(&boundary, user)) {
        for (int attempt = 0; attempt < 3 && !found; ++attempt) {
            found = ::CreatePrivateNamespaceW(rules.get(), boundary, kNamespace);
            if (!found && ::GetLastError() == ERROR_ALREADY_EXISTS)
                found = ::OpenPrivateNamespaceW(boundary, kNamespace);
        }
    }
    if (user)
        ::LocalFree(user);
    if (boundary)
        ::DeleteBoundaryDescriptor(boundary);
    return found;
}

} // namespace

// A mutex that only a live launcher owns, in the user's private namespace (or, without one,
// among the session's names, made for this user alone): the system hands it on, abandoned,
// when its owner ends however it ends, so it is never stale.
SingleInstance::Lock SingleInstance::takeLock()
{
    UserOnly rules;
    privateNamespace = openPrivateNamespace(rules);
    const QString prefix = QString::fromWCharArray(kNamespace) + QLatin1Char('\\');
    lockPath.prepend(privateNamespace ? prefix : QStringLiteral("Local\\"));
    serverName.prepend(privateNamespace ? prefix : QStringLiteral("Local\\"));
    lockHandle = ourObject(::CreateMutexW(rules.get(), FALSE, lockPath.toStdWString().c_str()));
    if (!lockHandle)
        return Lock::Unavailable; // somebody else's object at the name: better two launchers
    switch (::WaitForSingleObject(lockHandle, 0)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
        return Lock::Taken;
    case WAIT_TIMEOUT:
        return Lock::HeldElsewhere;
    default:
        return Lock::Unavailable;
    }
}

void SingleInstance::releaseLock()
{
    delete showNotifier;
    showNotifier = nullptr;
    if (showEvent)
        ::CloseHandle(showEvent);
    showEvent = nullptr;
    if (lockHandle) {
        ::ReleaseMutex(lockHandle); // when it is this launcher's
        ::CloseHandle(lockHandle);
    }
    lockHandle = nullptr;
    if (privateNamespace)
        ::ClosePrivateNamespace(privateNamespace, 0);
    privateNamespace = nullptr;
}

namespace {

// The event later launchers set: made by whichever comes first, the holder or one asking, so
// that no request is lost while the holder starts up.
HANDLE openShowEvent(const QString &name)
{
    UserOnly rules;
    return ourObject(::CreateEventW(rules.get(), FALSE, FALSE, name.toStdWString().c_str()));
}

} // namespace

bool SingleInstance::listen()
{
    showEvent = openShowEvent(serverName);
    if (!showEvent)
        return false;
    auto *notifier = new QWinEventNotifier(showEvent, this);
    connect(notifier, &QWinEventNotifier::activated, this, &SingleInstance::showRequested);
    showNotifier = notifier;
    return true;
}

// Sets the holder's event, letting it take the foreground that this start was given. A
// request that cannot be made starts this launcher instead: never a start that does nothing.
SingleInstance::Lock SingleInstance::askRunningLauncher()
{
    const HANDLE event = openShowEvent(serverName);
    if (!event)
        return Lock::Unavailable;
    ::AllowSetForegroundWindow(ASFW_ANY);
    const bool asked = ::SetEvent(event);
    ::CloseHandle(event);
    return asked ? Lock::HeldElsewhere : Lock::Unavailable;
}
