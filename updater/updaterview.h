#pragma once

struct DFUParams;

// What the run loop needs of the updater window. The real window implements it; tests hand the
// run loop small stand-ins instead.
class UpdaterView
{
public:
    virtual ~UpdaterView() = default;
    virtual void setup(const DFUParams &params) = 0;
    virtual void showWindow() = 0;
    virtual bool start() = 0;
    // 0 end, 1 restart the program, 2 run the updater again.
    virtual int runResult() const = 0;
    // Stops the worker thread (waiting at most 10 s) before the window goes away; a running flash
    // is first stopped between two steps, which may take as long as the step on the link.
    virtual void shutdown() = 0;
};
