/*
 * Binds every export of Kavrel.dll the two ways a Windows host does: at load
 * time through the import library, and at run time with GetProcAddress.
 * Checks that both reach the same code, that calls through the run-time
 * binding work, that a diagnostic has reached the process's output by the
 * time the call returns (a host on another C runtime has its own stdout
 * buffer, so the DLL must flush its own), and the DLL's version resource.
 */
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "kavrel.h"

typedef void (*any_fn)(void);
typedef int32_t (*start_fn)(ParserHandle*, const FrameInput*, FrameInfo*);
static int failures;

#define CHECK(cond, ...)                                                          \
    do {                                                                          \
        if (!(cond)) {                                                            \
            printf("FAIL line %d: %s: ", __LINE__, #cond), printf(__VA_ARGS__); \
            printf("\n"), fflush(stdout), ++failures;                             \
        }                                                                         \
    } while (0)

/* Kavrel_Start(NULL, NULL, NULL) through `start`, with stdout fully buffered
 * and sent to a file: the line must be in the file when the call returns. */
static void check_diagnostic_flushed(start_fn start) {
    static const char kTail[] = ": Error: NULL Pointer\n\n";
    char dir[MAX_PATH], path[MAX_PATH], text[512];
    DWORD got = 0;
    int32_t rc;
    const int saved = _dup(1);
    CHECK(GetTempPathA(sizeof dir, dir) && GetTempFileNameA(dir, "kvr", 0, path), "temporary file");
    fflush(stdout);
    const int fd = _open(path, _O_WRONLY | _O_TRUNC | _O_BINARY);
    CHECK(saved >= 0 && fd >= 0, "redirecting stdout to %s", path);
    if (saved < 0 || fd < 0) return;
    _dup2(fd, 1), _close(fd), _setmode(1, _O_BINARY);
    setvbuf(stdout, NULL, _IOFBF, 4096);
    rc = start(NULL, NULL, NULL);
    const HANDLE reader = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (reader != INVALID_HANDLE_VALUE) ReadFile(reader, text, sizeof text - 1, &got, NULL), CloseHandle(reader);
    text[got] = '\0';
    fflush(stdout);
    _dup2(saved, 1), _close(saved);
    DeleteFileA(path);
    CHECK(rc == -7, "Kavrel_Start(NULL, NULL, NULL) returned %d", (int)rc);
    CHECK(strncmp(text, "[VsKavrel]:", 11) == 0 && got >= sizeof kTail - 1 &&
              strcmp(text + got - (sizeof kTail - 1), kTail) == 0,
          "output so far: \"%s\"", text);
}

/* Kavrel_Start through the run-time binding parses an access unit delimiter. */
static void check_calls(start_fn start) {
    static const uint8_t aud[] = {0x00, 0x00, 0x00, 0x01, 0x09, 0xf0};
    const FrameInput in = {aud, sizeof aud};
    FrameInfo info;
    ParserHandle* h;
    int32_t rc;
    if (!start || !(h = Kavrel_Open())) return; /* GetProcAddress reported by main */
    memset(&info, 0xa5, sizeof info);
    rc = start(h, &in, &info);
    CHECK(rc == 0 && info.consumed == sizeof aud, "rc %d consumed %u", (int)rc, (unsigned)info.consumed);
    Kavrel_Close(h);
    check_diagnostic_flushed(start);
}

/* FILEVERSION, the file type and two strings of the version resource. */
static void check_version_resource(HMODULE dll) {
    char path[MAX_PATH], block[4096];
    VS_FIXEDFILEINFO* fixed = NULL;
    char *name = NULL, *version = NULL;
    UINT len = 0;
    DWORD ignored = 0;
    const int ok = GetModuleFileNameA(dll, path, sizeof path) &&
                     GetFileVersionInfoSizeA(path, &ignored) <= sizeof block &&
                     GetFileVersionInfoA(path, 0, sizeof block, block) &&
                     VerQueryValueA(block, "\\", (void**)&fixed, &len) && len >= sizeof *fixed &&
                     VerQueryValueA(block, "\\StringFileInfo\\040904B0\\OriginalFilename", (void**)&name, &len) &&
                     VerQueryValueA(block, "\\StringFileInfo\\040904B0\\FileVersion", (void**)&version, &len);
    CHECK(ok, "no complete version resource in Kavrel.dll");
    if (!ok) return;
    CHECK(fixed->dwSignature == 0xFEEF04BDu && fixed->dwFileType == VFT_DLL &&
              fixed->dwFileVersionMS == ((KAVREL_VERSION_MAJOR << 16) | KAVREL_VERSION_MINOR) &&
              HIWORD(fixed->dwFileVersionLS) == KAVREL_VERSION_PATCH,
          "fixed file info: type %lu, version %08lx.%08lx", (unsigned long)fixed->dwFileType,
          (unsigned long)fixed->dwFileVersionMS, (unsigned long)fixed->dwFileVersionLS);
    CHECK(strcmp(name, "Kavrel.dll") == 0 && strcmp(version, KAVREL_VERSION_STRING) == 0,
          "OriginalFilename \"%s\", FileVersion \"%s\"", name, version);
}

int main(void) {
    /* The import library had the loader map Kavrel.dll before main; loading
     * it by name again must give the same module. */
    const HMODULE at_start = GetModuleHandleA("Kavrel.dll");
    const HMODULE dll = LoadLibraryA("Kavrel.dll");
    const struct {
        const char* name;
        any_fn via_import;
    } exports[] = {
#define KAVREL_EXPORT(name) {#name, (any_fn)&name},
#include "kavrel_export_list.h"
#undef KAVREL_EXPORT
    };
    size_t i;
    CHECK(dll != NULL && dll == at_start, "LoadLibrary gave %p, mapped at start %p", (void*)dll, (void*)at_start);
    if (!dll) return 1;
    /* __declspec(dllimport) makes &name the address the import table holds. */
    for (i = 0; i < sizeof exports / sizeof exports[0]; ++i) {
        const any_fn via_loader = (any_fn)GetProcAddress(dll, exports[i].name);
        CHECK(via_loader != NULL && via_loader == exports[i].via_import, "%s: GetProcAddress gave %p, import %p",
              exports[i].name, (void*)via_loader, (void*)exports[i].via_import);
    }
    check_calls((start_fn)(any_fn)GetProcAddress(dll, "Kavrel_Start"));
    check_version_resource(dll);
    CHECK(FreeLibrary(dll), "FreeLibrary");
    printf("%s\n", failures ? "FAILED" : "all bindings good");
    return failures ? 1 : 0;
}
