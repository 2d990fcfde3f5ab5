// The public header compiles as C++17 (its layout is checked from C11).
#include "kavrel.h"

int main() {
    ParserHandle* h = Kavrel_Open();
    if (!h) return 1;
    Kavrel_Close(h);
    return 0;
}
