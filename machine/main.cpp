// Entry point: the command line is parsed, then one Machine runs the program it names or the command processor.
#include <memory>
#include <string>
#include <vector>

#include "host/process.h"
#include "machine/ccp.h"
#include "machine/machine.h"
#include "machine/options.h"

int main(int argument_count, char** argument_vector) {
    host::prepare_process();
    const kavo::CommandLine command = kavo::parse_command_line(argument_count, argument_vector);
    if (command.exit_status >= 0)
        return command.exit_status;
    auto machine = std::make_unique<kavo::Machine>();
    machine->options = command.options;
    if (command.options.command_processor) {
        const std::vector<std::string> commands(command.argument_vector + 1,
                                                command.argument_vector + command.argument_count);
        return kavo::CommandProcessor(*machine, commands).run();
    }
    return machine->run_program(command.argument_count, command.argument_vector);
}
