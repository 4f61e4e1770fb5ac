#pragma once

#include <managerview.h>
#include <updaterview.h>

#include <functional>
#include <memory>

// How the run loop makes its windows: the real ones in the program, stand-ins in tests.
struct WindowFactory
{
    std::function<std::unique_ptr<ManagerView>()> manager;
    std::function<std::unique_ptr<UpdaterView>()> updater;
};
