#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("Brixmoor 2.5");
        return 0;
    }
    return 0;
}
