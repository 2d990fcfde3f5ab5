/* The part of <sys/wait.h> the test helpers use, for Windows builds, where
 * pclose() (msvcrt's _pclose) returns the command's exit code itself, or -1
 * when the command could not be waited for. */
#ifndef KAVREL_TESTS_WINDOWS_SYS_WAIT_H
#define KAVREL_TESTS_WINDOWS_SYS_WAIT_H

#define WIFEXITED(status) ((status) != -1)
#define WEXITSTATUS(status) (status)

#endif
