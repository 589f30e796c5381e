// The program's entry point in the Windows builds, in place of the cross
// compiler's start-up code. That code brings what this program never uses:
// runtime relocation of imported data, thread-local storage callbacks, its
// own exception filter, wildcards in the arguments, atexit tables. msvcrt.dll
// does the rest itself, as for every program built against it: it is told
// that this is a console program, hands over main's arguments, and its exit
// flushes and closes the standard streams.
#include <stdlib.h>

int main(int argc, char **argv);

extern "C" {
// msvcrt's own start-up calls; its headers leave them undeclared.
__declspec(dllimport) void __cdecl __set_app_type(int type);
__declspec(dllimport) int __cdecl __getmainargs(int *argc, char ***argv, char ***environment,
                                                int expandWildcards, int *newMode);

// The compiler calls this first thing in main, for running global
// constructors. The program has none, and the build refuses an object that
// has any, since nothing here would run it.
void __main() {}

void mainCRTStartup()
{
    enum { CONSOLE_APP = 1 };
    __set_app_type(CONSOLE_APP);
    int argc = 0;
    char **argv = NULL, **environment = NULL;
    int newMode = 0; // the whole of msvcrt's start-up information: malloc's failure mode
    __getmainargs(&argc, &argv, &environment, 0, &newMode);
    exit(main(argc, argv));
}

// Windows moves a program to a random address (the build asks for it,
// --dynamicbase) only when the program carries a relocation table. The
// 32-bit code holds absolute addresses that need one anyway; the 64-bit code
// reaches all it uses relative to itself, and this one absolute address
// gives it the table.
extern const void *const entryAddress;
const void *const entryAddress = (const void *)mainCRTStartup;
}
