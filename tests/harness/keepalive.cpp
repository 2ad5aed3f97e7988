// Holds a Wine session open for the length of a test run.
#include <windows.h>

int main()
{
    Sleep(INFINITE);
    return 0;
}
