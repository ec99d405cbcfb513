/* The import address table slot through which a loaded module calls one function of a
 * DLL: rewriting it reroutes that module's own calls, so a test sees what it hands the
 * system. Plain C, for the C and the C++ tests alike. */
#pragma once
#include <windows.h>
#include <string.h>

static inline ULONG_PTR *import_slot(HMODULE module, const char *dll_name, const char *function)
{
    if (!module)
        return NULL;
    BYTE *base = (BYTE *)module;
    const IMAGE_NT_HEADERS *nt = (const IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY *dir = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (IMAGE_IMPORT_DESCRIPTOR *imp = (IMAGE_IMPORT_DESCRIPTOR *)(base + dir->VirtualAddress);
         dir->VirtualAddress && imp->Name; ++imp) {
        if (lstrcmpiA((const char *)(base + imp->Name), dll_name) != 0)
            continue;
        IMAGE_THUNK_DATA *lookup = (IMAGE_THUNK_DATA *)(base + imp->OriginalFirstThunk);
        IMAGE_THUNK_DATA *iat = (IMAGE_THUNK_DATA *)(base + imp->FirstThunk);
        for (; lookup->u1.AddressOfData; ++lookup, ++iat)
            if (!IMAGE_SNAP_BY_ORDINAL(lookup->u1.Ordinal)
                && strcmp((const char *)((IMAGE_IMPORT_BY_NAME *)(base + lookup->u1.AddressOfData))->Name,
                          function) == 0)
                return (ULONG_PTR *)&iat->u1.Function;
    }
    return NULL;
}

/* Writes value into the slot and returns what it held; the slot's page is read-only once
 * the module is loaded. */
static inline ULONG_PTR swap_import(ULONG_PTR *slot, ULONG_PTR value)
{
    DWORD old;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old);
    const ULONG_PTR previous = *slot;
    *slot = value;
    VirtualProtect(slot, sizeof *slot, old, &old);
    return previous;
}
