#include "programshell.h"

#include <hiddfu.h>
#include <managerwindow.h>

int main(int argc, char *argv[])
{
    ProgramShell shell({[] { return std::make_unique<ManagerWindow>(); }, [] { return std::make_unique<HIDDfu>(); }});
    return shell.run(argc, argv);
}
