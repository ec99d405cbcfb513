/* A Windows program that fails on purpose, so that the Wine runner is seen to end a crashed
 * or a hung test at once and clean:   win_crash.exe crash|hang */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string.h>

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "hang") == 0)
        Sleep(INFINITE);
    volatile int *nowhere = NULL;
    *nowhere = 1; /* an access violation, unhandled */
    return 0;
}
