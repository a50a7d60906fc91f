// Loads the library open on descriptor 3 in a process of its own, then ends at once: status 0 when it
// loaded, 1 with the dynamic loader's reason on standard output when it did not. The program runs it
// before loading its network module itself: the module's constructors run inside the dynamic loader,
// which holds its lock meanwhile, so one that hangs would stall every later dlopen of the program's,
// and one that crashes would take the program down. Here they cost this process only. It links
// nothing but the C library, so that trying costs little more than the module's own libraries.
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
    // Nobody waits for a trial whose program has gone (argv[1] is the program's pid).
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc < 2 || getppid() != static_cast<pid_t>(atol(argv[1]))) _exit(2);
    if (!dlopen("/proc/self/fd/3", RTLD_NOW | RTLD_LOCAL)) {
        const char* why = dlerror();
        if (why && write(STDOUT_FILENO, why, strlen(why)) < 0) _exit(1);
        _exit(1);
    }
    // No destructor or exit handler of the module's runs: they are not what is being tried.
    _exit(0);
}
