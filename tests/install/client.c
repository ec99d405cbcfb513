/* A client of the installed library: one tap of A. Exits 0 when both events were taken. */
#include <stdio.h>
#include <tapstrike.h>

int main(void)
{
    const int down = keypress("A");
    const int up = keyrelease("A");
    printf("%d %d\n", down, up);
    return down != 0 || up != 0;
}
