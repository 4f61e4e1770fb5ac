#pragma once

// What the run loop needs of the manager window. The real window implements it; tests hand the
// run loop small stand-ins instead.
class ManagerView
{
public:
    // What the window asks of the run loop, as the code it ends its event loop with; any other
    // code ends the program. The run loop, not the window, decides what each one leads to.
    enum ExitCode {
        RestartProgram = 253,
        UpdaterDisconnected = 254, // the updater finds its own connection
        UpdaterConnected = 255, // the updater takes over the manager's port, rate and adapter
    };

    virtual ~ManagerView() = default;
    virtual bool init() = 0;
    virtual void showWindow() = 0;
};
