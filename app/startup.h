// Start-up and shutdown of the program, as one straight sequence.
#pragma once

#include "app/app_context.h"

namespace ventrix {

// Creates SmallIconList and fills the four image indexes from the icons.
void createSmallIconList(AppContext& context);

// Loads (or on a first run seeds and saves) the policy, then enforces it.
void loadAndEnforce(AppContext& context);

// Runs the whole program with the given context; returns the exit code.
int runVentrix(AppContext& context);

}  // namespace ventrix
