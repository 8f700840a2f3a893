#include "app/startup.h"

int main(int argc, char **argv)
{
    return runBelfry(argc, argv);
}
