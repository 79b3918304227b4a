// The plug-in's handlers behind the exported entry points.
#pragma once

#include <cstdint>
#include <string>

#include "mach3/host_blocks.h"

class CXmlProfile;

const char* PlugSetProName(const char* profilePath) noexcept;
bool PlugInitControl(intptr_t engine, intptr_t arg2, intptr_t state, intptr_t arg4) noexcept;
void PlugPostInitControl() noexcept;
void PlugConfig() noexcept;


std::string myProfileInit(CXmlProfile& profile);
void myNotify(int32_t code) noexcept;
void myCleanUp() noexcept;
