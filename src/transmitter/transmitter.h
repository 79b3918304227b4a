// The frame transmitter: one bit of a serial frame per host update cycle.
#pragma once

void myUpdate() noexcept;
