// The program's cost beside bare programs of the same kind (bare/bareProgram.cpp):
// the memory of the hidden program beside HourwardenBare.exe, and the processor
// time with the status window open beside HourwardenBareDirect2d.exe's window.
#pragma once

#include <string>

// Prints the figures; false when a measurement could not be made.
// `bareDirectory` holds both bare programs.
bool measureFootprint(const std::wstring& hourwarden, const std::wstring& bareDirectory);
