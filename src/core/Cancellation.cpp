#include "core/Cancellation.h"

Cancellation& Cancellation::instance() {
    static Cancellation* self = new Cancellation;
    return *self;
}

bool Cancellation::requested() {
    return instance().m_requested;
}

void Cancellation::request() {
    Cancellation& self = instance();
    if (self.m_requested.exchange(true))
        return;
    emit self.cancelled();
}

void Cancellation::reset() {
    instance().m_requested = false;
}
