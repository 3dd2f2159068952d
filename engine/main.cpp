// engine/main.cpp - the upgrader program.
#include "driver.h"

int main(int argc, char** argv)
{
    return upgrader_main(argc, argv);
}
