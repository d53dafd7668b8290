// A program that uses the layer the way the product's help and estimate do: it must start, and
// order names, wherever it runs. Its exit code tells what it found: bit 0 when the platform
// loaded, bit 1 when the name order was right.

#include <platform/projfs/availability.h>

int main()
{
    const bool loaded = projfs::available();
    const bool ordered = projfs::file_name_compare(L"abc", L"ABC") == 0 &&
                         projfs::file_name_compare(L"a", L"B") < 0 &&
                         projfs::file_name_compare(L"_x", L"ax") > 0;
    return (loaded ? 1 : 0) | (ordered ? 2 : 0);
}
