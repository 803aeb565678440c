// What an Android link takes from outside the platform's libraries, stood in
// for a link that is never run. Neither is in an AOSP tree: the start-up
// objects are built with bionic, the compiler runtime ships with the
// toolchain. Everything else the daemon calls must come from the stub
// libraries, so a missing or too-new symbol still fails the link.

// crtbegin_dynamic.o: the entry point, which hands main to libc's start-up.
extern void __libc_init(void *raw_args, void (*onexit)(void), int (*slingshot)(int, char **, char **),
                        const void *structors) __attribute__((noreturn));
extern int main(int argc, char **argv, char **envp);

void *__dso_handle = &__dso_handle;

void _start(void)
{
    __libc_init(__builtin_frame_address(0), 0, main, 0);
}

// The compiler runtime (libclang_rt.builtins), linked statically into every
// Android binary: thread_local below API 29 goes through emulated TLS.
void __emutls_get_address(void) {}
