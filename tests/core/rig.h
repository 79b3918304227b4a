// A stand-in for an adapter: the values the core reads, its view of them, and the events it reported.
#pragma once

#include <cstdint>
#include <vector>

#include "core/events.h"
#include "core/inputs.h"

namespace coretest {

struct Ev {
    board::EventKind kind;
    int32_t a = 0;
    int32_t b = 0;
    int32_t c = 0;
    bool operator==(const Ev&) const = default;
};

struct Rig {
    uint8_t level[board::kOutputSlots] = {};
    uint8_t activeLow[board::kOutputSlots] = {};
    uint8_t spindleOn = 0;
    int32_t spindleDir = 1;
    double ratio = 0.0;
    board::Inputs in;
    board::EventSink sink;
    std::vector<Ev> events;
    std::vector<const char*> names;

    Rig() {
        for (int k = 0; k < board::kOutputSlots; ++k) {
            in.level[k] = &level[k];
            in.activeLow[k] = &activeLow[k];
        }
        in.spindleOn = &spindleOn;
        in.spindleDir = &spindleDir;
        in.spindleRatio = &ratio;
        sink.threshold = board::kAll;
        sink.context = this;
        sink.write = [](void* context, const board::Event& e) {
            Rig& rig = *static_cast<Rig*>(context);
            rig.events.push_back(Ev{e.kind, e.a, e.b, e.c});
            rig.names.push_back(e.name);
        };
    }
    Rig(const Rig&) = delete;

    void Spindle(bool on, int32_t dir, int32_t duty) {
        spindleOn = on ? 1 : 0;
        spindleDir = dir;
        ratio = duty / 1023.0;
    }
};

}  // namespace coretest
