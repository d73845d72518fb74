// Entry point: one Machine runs the program named on the command line.
#include "cpu/machine.h"

int main(int argument_count, char** argument_vector) {
    auto machine = std::make_unique<kavo::Machine>();
    machine->run_program(argument_count, argument_vector);
    return 0;
}
