/*
 * Binds every export of Kavrel.dll the two ways a Windows host does: at load
 * time through the import library, and at run time with LoadLibrary and
 * GetProcAddress. Checks that both reach the same code inside the DLL, that
 * calls through either work, that a diagnostic has reached the process's
 * output by the time the call returns (a host on another C runtime has its
 * own stdout buffer, so the DLL must flush its own), and that the DLL
 * carries the project's version resource.
 */
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kavrel.h"

typedef void (*any_fn)(void);
typedef ParserHandle* (*open_fn)(void);
typedef void (*close_fn)(ParserHandle*);
typedef int32_t (*start_fn)(ParserHandle*, const FrameInput*, FrameInfo*);
typedef const char* (*version_fn)(void);

typedef struct {
    const char* name;
    any_fn via_import;
} ExportEntry;

static int failures;

#define CHECK(cond, ...)                                   \
    do {                                                   \
        if (!(cond)) {                                     \
            printf("FAIL line %d: %s: ", __LINE__, #cond); \
            printf(__VA_ARGS__);                           \
            printf("\n");                                  \
            fflush(stdout);                                \
            ++failures;                                    \
        }                                                  \
    } while (0)

static int inside_image(HMODULE module, any_fn fn) {
    const uintptr_t base = (uintptr_t)module;
    const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)module;
    const IMAGE_NT_HEADERS64* nt = (const IMAGE_NT_HEADERS64*)(base + (uintptr_t)dos->e_lfanew);
    const uintptr_t address = (uintptr_t)fn;
    return address >= base && address < base + nt->OptionalHeader.SizeOfImage;
}

static any_fn lookup(HMODULE dll, const char* name) {
    return (any_fn)GetProcAddress(dll, name);
}

/* Both bindings of each listed export lead to the same function in Kavrel.dll. */
static void check_bindings(HMODULE dll) {
    const ExportEntry entries[] = {
#define KAVREL_EXPORT(name) {#name, (any_fn)&name},
#include "kavrel_export_list.h"
#undef KAVREL_EXPORT
    };
    size_t i;
    for (i = 0; i < sizeof entries / sizeof entries[0]; ++i) {
        const ExportEntry* e = &entries[i];
        const any_fn via_loader = lookup(dll, e->name);
        CHECK(via_loader != NULL, "GetProcAddress(%s) failed (%lu)", e->name, (unsigned long)GetLastError());
        CHECK(via_loader == e->via_import, "%s: GetProcAddress and the import library disagree", e->name);
        CHECK(inside_image(dll, e->via_import), "%s: import library binds outside Kavrel.dll", e->name);
    }
}

/* Kavrel_Start reports a null argument, and the line is out of the process
 * (in the file behind stdout) before the call returns. stdout is made fully
 * buffered first, so without the library's own flush it would still sit in
 * the C runtime's buffer. */
static void check_diagnostic_flushed(start_fn start) {
    char dir[MAX_PATH];
    char path[MAX_PATH];
    char text[512];
    DWORD got = 0;
    HANDLE reader;
    int saved, fd;
    int32_t rc;
    static const char kTail[] = ": Error: NULL Pointer\n\n";

    CHECK(GetTempPathA(sizeof dir, dir) != 0, "GetTempPath");
    CHECK(GetTempFileNameA(dir, "kvr", 0, path) != 0, "GetTempFileName");
    fflush(stdout);
    saved = _dup(1);
    fd = _open(path, _O_WRONLY | _O_TRUNC | _O_BINARY);
    CHECK(saved >= 0 && fd >= 0, "redirecting stdout to %s", path);
    if (saved < 0 || fd < 0) return;
    _dup2(fd, 1);
    _close(fd);
    _setmode(1, _O_BINARY);
    setvbuf(stdout, NULL, _IOFBF, 4096);

    rc = start(NULL, NULL, NULL);

    reader = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (reader != INVALID_HANDLE_VALUE) {
        ReadFile(reader, text, sizeof text - 1, &got, NULL);
        CloseHandle(reader);
    }
    text[got] = '\0';
    fflush(stdout);
    _dup2(saved, 1);
    _close(saved);
    DeleteFileA(path);

    CHECK(rc == -7, "Kavrel_Start(NULL, NULL, NULL) returned %d", (int)rc);
    CHECK(strncmp(text, "[VsKavrel]:", 11) == 0, "output so far: \"%s\"", text);
    CHECK(got >= sizeof kTail - 1 && strcmp(text + got - (sizeof kTail - 1), kTail) == 0,
          "output so far: \"%s\"", text);
}

/* Calls through the run-time binding: a handle parses an access unit
 * delimiter (00 00 00 01, header 09, primary_pic_type 7 and the stop bit). */
static void check_calls(HMODULE dll) {
    static const uint8_t aud[] = {0x00, 0x00, 0x00, 0x01, 0x09, 0xf0};
    const open_fn open_rt = (open_fn)lookup(dll, "Kavrel_Open");
    const close_fn close_rt = (close_fn)lookup(dll, "Kavrel_Close");
    const start_fn start_rt = (start_fn)lookup(dll, "Kavrel_Start");
    const version_fn version_rt = (version_fn)lookup(dll, "Kavrel_lib_get_version");
    ParserHandle* h;
    FrameInput in;
    FrameInfo info;
    int32_t rc;

    if (!open_rt || !close_rt || !start_rt || !version_rt) return; /* reported by check_bindings */
    CHECK(strcmp(version_rt(), "reserver") == 0, "version \"%s\"", version_rt());
    CHECK(version_rt() == Kavrel_lib_get_version(), "two copies of the version text");

    h = open_rt();
    CHECK(h != NULL, "Kavrel_Open");
    if (!h) return;
    memset(&info, 0xa5, sizeof info);
    in.data = aud;
    in.size = sizeof aud;
    rc = start_rt(h, &in, &info);
    CHECK(rc == 0 && info.consumed == sizeof aud, "rc %d consumed %u", (int)rc, (unsigned)info.consumed);
    close_rt(h);

    check_diagnostic_flushed(start_rt);
}

/* FILEVERSION, the file type and the string table of the version resource. */
static void check_version_resource(HMODULE dll) {
    char path[MAX_PATH];
    DWORD ignored = 0;
    DWORD size;
    void* block;
    VS_FIXEDFILEINFO* fixed = NULL;
    char* text = NULL;
    UINT len = 0;

    CHECK(GetModuleFileNameA(dll, path, sizeof path) != 0, "GetModuleFileName");
    size = GetFileVersionInfoSizeA(path, &ignored);
    CHECK(size != 0, "no version resource in %s", path);
    if (size == 0) return;
    block = malloc(size);
    if (!block || !GetFileVersionInfoA(path, 0, size, block)) {
        CHECK(0, "GetFileVersionInfo(%s)", path);
        free(block);
        return;
    }
    if (VerQueryValueA(block, "\\", (void**)&fixed, &len) && len >= sizeof *fixed) {
        CHECK(fixed->dwSignature == 0xFEEF04BDu, "signature %08lx", (unsigned long)fixed->dwSignature);
        CHECK(HIWORD(fixed->dwFileVersionMS) == KAVREL_VERSION_MAJOR &&
                  LOWORD(fixed->dwFileVersionMS) == KAVREL_VERSION_MINOR &&
                  HIWORD(fixed->dwFileVersionLS) == KAVREL_VERSION_PATCH,
              "file version %u.%u.%u, project %s", HIWORD(fixed->dwFileVersionMS),
              LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS), KAVREL_VERSION);
        CHECK(fixed->dwFileType == VFT_DLL, "file type %lu", (unsigned long)fixed->dwFileType);
    } else {
        CHECK(0, "no fixed file info");
    }
    if (VerQueryValueA(block, "\\StringFileInfo\\040904B0\\OriginalFilename", (void**)&text, &len)) {
        CHECK(strcmp(text, "Kavrel.dll") == 0, "OriginalFilename \"%s\"", text);
    } else {
        CHECK(0, "no OriginalFilename");
    }
    if (VerQueryValueA(block, "\\StringFileInfo\\040904B0\\FileVersion", (void**)&text, &len)) {
        CHECK(strcmp(text, KAVREL_VERSION) == 0, "FileVersion \"%s\"", text);
    } else {
        CHECK(0, "no FileVersion");
    }
    free(block);
}

int main(void) {
    /* The import library had the loader map Kavrel.dll before main; loading
     * it by name again must give the same module. */
    const HMODULE at_start = GetModuleHandleA("Kavrel.dll");
    const HMODULE dll = LoadLibraryA("Kavrel.dll");
    CHECK(at_start != NULL, "Kavrel.dll not mapped at start");
    CHECK(dll != NULL, "LoadLibrary(Kavrel.dll) failed (%lu)", (unsigned long)GetLastError());
    if (!dll) return 1;
    CHECK(dll == at_start, "LoadLibrary mapped a second copy");

    check_bindings(dll);
    check_calls(dll);
    check_version_resource(dll);

    CHECK(FreeLibrary(dll), "FreeLibrary");
    printf("%s\n", failures ? "FAILED" : "all bindings good");
    return failures ? 1 : 0;
}
