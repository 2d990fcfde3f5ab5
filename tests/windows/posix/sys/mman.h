/* The part of <sys/mman.h> (and sysconf(_SC_PAGESIZE)) the tests use, for
 * Windows builds: private anonymous mappings whose pages can be made
 * inaccessible, so that guard-page tests catch stray reads there too. */
#ifndef KAVREL_TESTS_WINDOWS_SYS_MMAN_H
#define KAVREL_TESTS_WINDOWS_SYS_MMAN_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <stddef.h>
#include <sys/types.h>

#define PROT_NONE 0
#define PROT_READ 1
#define PROT_WRITE 2
#define MAP_PRIVATE 0x02
#define MAP_ANONYMOUS 0x20
#define MAP_FAILED ((void*)-1)
#ifndef _SC_PAGESIZE
#define _SC_PAGESIZE 30
#endif

static inline DWORD kavrel_page_protection(int prot) {
    if (prot & PROT_WRITE) return PAGE_READWRITE;
    if (prot & PROT_READ) return PAGE_READONLY;
    return PAGE_NOACCESS;
}

/* Only anonymous mappings (fd -1, offset 0) at an address of the system's choosing. */
static inline void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    if (addr || !(flags & MAP_ANONYMOUS) || fd != -1 || offset != 0) return MAP_FAILED;
    void* p = VirtualAlloc(NULL, length, MEM_RESERVE | MEM_COMMIT, kavrel_page_protection(prot));
    return p ? p : MAP_FAILED;
}

static inline int mprotect(void* addr, size_t length, int prot) {
    DWORD old;
    return VirtualProtect(addr, length, kavrel_page_protection(prot), &old) ? 0 : -1;
}

/* Releases the whole mapping that starts at addr (length as given to mmap). */
static inline int munmap(void* addr, size_t length) {
    (void)length;
    return VirtualFree(addr, 0, MEM_RELEASE) ? 0 : -1;
}

static inline long sysconf(int name) {
    SYSTEM_INFO info;
    if (name != _SC_PAGESIZE) return -1;
    GetSystemInfo(&info);
    return (long)info.dwPageSize;
}

#endif
