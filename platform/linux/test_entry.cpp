// The library's exported test entry: a caller that resolves `main` in the
// backend can check that it loads and initialises. It lives only in the shared
// library, so that test programs linking the backend's code keep their own main.
#include <cstdio>

#include <sane/sane.h>

extern "C" SANE_Status sane_orvela_init(SANE_Int* version_code, SANE_Auth_Callback authorize);

extern "C" int main(void) {
    puts("Enter in SANE test!");
    sane_orvela_init(nullptr, nullptr);
    return 0;
}
