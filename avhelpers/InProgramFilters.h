// Video filters of the system's own, usable by name in video filter
// descriptions next to the library's filters: "rotate", "nativehue" and
// "nativeeq". They accept planar YUV pictures only.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "avhelpers/Registry.h"

namespace avhelpers {

// A 32-bit value the caller owns and may change while a conversion runs.
// "nativehue" and "nativeeq" take such a cell by the number RegisterValueCell
// gives; an unknown number is refused instead of being read. The cell must
// stay registered while a filter graph uses it.
using TValueCell = std::atomic<std::int32_t>;
int RegisterValueCell(TValueCell& cell);
void UnregisterValueCell(int number);

// "rotate"; registered by the engine.
void RegisterRotateFilter();
// "nativeeq" and then "nativehue"; the application registers them right
// after loading the libraries (their messages go to the library's log).
void RegisterNativeFilters();

// The stages themselves, for callers and tests that drive them directly.
std::unique_ptr<TFilterStage> CreateRotateStage(const std::string& args);
std::unique_ptr<TFilterStage> CreateHueStage(const std::string& args);
std::unique_ptr<TFilterStage> CreateEqStage(const std::string& args);

} // namespace avhelpers
