// The public header compiles as C++17 (its layout is checked from C11), and an export links.
#include "kavrel.h"

int main() { return Kavrel_lib_get_version()[0] == '\0'; }
