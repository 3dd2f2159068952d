// sim/static/next_symbol.cpp - the C library entry points behind the
// device layer in a statically linked program. The layer looks each one up
// with dlsym(RTLD_NEXT, name); in the test copy that call arrives here and
// is answered with the linker's __real_NAME, the C library's own function.
#include <cstring>

extern "C" {
// Only their addresses are taken; the layer calls them with its own types.
void __real_open();
void __real_openat();
void __real_openat64();
void __real_fopen();
void __real_fopen64();
void __real_close();
void __real_read();
void __real_write();
void __real_ioctl();
void __real_pread();
void __real_pread64();
void __real_pwrite();
void __real_pwrite64();
void __real_lseek();
void __real_lseek64();
void __real_nanosleep();
void __real_clock_nanosleep();
void __real_semget();
void __real_semop();
void __real_shmget();
void __real_shmat();
void __real_connect();
void __real_send();

void* phonesim_static_next(void* handle, const char* name);
}

namespace {

struct entry {
    const char* name;
    void (*fn)();
};

const entry kEntries[] = {
    {"open", __real_open},
    {"openat", __real_openat},
    {"openat64", __real_openat64},
    {"fopen", __real_fopen},
    {"fopen64", __real_fopen64},
    {"close", __real_close},
    {"read", __real_read},
    {"write", __real_write},
    {"ioctl", __real_ioctl},
    {"pread", __real_pread},
    {"pread64", __real_pread64},
    {"pwrite", __real_pwrite},
    {"pwrite64", __real_pwrite64},
    {"lseek", __real_lseek},
    {"lseek64", __real_lseek64},
    {"nanosleep", __real_nanosleep},
    {"clock_nanosleep", __real_clock_nanosleep},
    {"semget", __real_semget},
    {"semop", __real_semop},
    {"shmget", __real_shmget},
    {"shmat", __real_shmat},
    {"connect", __real_connect},
    {"send", __real_send},
};

} // namespace

void* phonesim_static_next(void* handle, const char* name)
{
    (void)handle;
    for (const entry& e : kEntries)
        if (std::strcmp(e.name, name) == 0) return reinterpret_cast<void*>(e.fn);
    return nullptr;
}
