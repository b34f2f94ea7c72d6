#include <QCoreApplication>

#include <cstdio>
#include <exception>

#include "cli/commands.h"
#include "platform/cardaccess.h"

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.emplace_back(argv[i]);
    try {
        const int status = cli::Run(arguments);
        // Let go of what the command attached (image files mounted through
        // udisks2) while the bus connection is still there.
        platform::SetCards(nullptr);
        return status;
    } catch (const std::exception& error) {
        // A card pulled or unreadable while it was looked at.
        std::fprintf(stderr, "flintor-cli: %s\n", error.what());
        return 1;
    }
}
