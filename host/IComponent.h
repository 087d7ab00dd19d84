#pragma once

// What the host drives: created, started, stopped, destroyed.
struct IComponent
{
    virtual ~IComponent() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void hostOperation3() = 0;
    virtual void hostOperation4() = 0;
};
