#include <QCoreApplication>

#include "cli/commands.h"

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.emplace_back(argv[i]);
    return cli::Run(arguments);
}
