// The program file: everything happens in BrixmoorMain.
#include "app/brixmoor.h"

int main(int argc, char** argv)
{
    return bm::BrixmoorMain(argc, argv);
}
