// Start-up and shutdown of the program, as one straight sequence.
#pragma once

#include <string>

#include "app/app_context.h"

namespace ventrix {

// Creates SmallIconList and fills the four image indexes from the icons.
void createSmallIconList(AppContext& context);

// Loads (or on a first run seeds and saves) the policy, then enforces it.
void loadAndEnforce(AppContext& context);


// Claims the data folder (the current directory) for this copy; false when
// another copy of Ventrix already runs on it.
bool claimDataFolder(AppContext& context);
// The name of the data folder's claim: one per folder, whatever its spelling's case.
std::string dataFolderClaimName();

// Writes the policy a last time, reports the exit and lets go of the file;
// runs once, whether the agent window ended or Windows ends the session.
void shutDown(AppContext& context);

// Runs the whole program with the given context; returns the exit code.
int runVentrix(AppContext& context);

}  // namespace ventrix
