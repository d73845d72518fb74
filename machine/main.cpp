// Entry point: one Machine runs the program named on the command line.
#include <memory>

#include "cpu/machine.h"
#include "host/process.h"

int main(int argument_count, char** argument_vector) {
    host::prepare_process();
    auto machine = std::make_unique<kavo::Machine>();
    machine->run_program(argument_count, argument_vector);
    return 0;
}
