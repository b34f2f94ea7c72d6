#include <QCoreApplication>

#include <cstdio>
#include <exception>

#include "cli/commands.h"

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.emplace_back(argv[i]);
    try {
        return cli::Run(arguments);
    } catch (const std::exception& error) {
        // A card pulled or unreadable while it was looked at.
        std::fprintf(stderr, "flintor-cli: %s\n", error.what());
        return 1;
    }
}
