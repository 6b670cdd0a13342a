// Start-up and shutdown of the program, as one straight sequence.
#pragma once

#include <string>

#include "app/app_context.h"

namespace ventrix {

// Creates SmallIconList and fills the four image indexes from the icons.
void createSmallIconList(AppContext& context);

// Loads (or on a first run seeds and saves) the policy, then enforces it.
void loadAndEnforce(AppContext& context);

// The per-user program's administrator's policy. The first reading comes
// from the reading thread, waited for a bounded time; past it the registry is
// read here without the sections, and the thread's reading follows as a
// refresh. Where no reading thread is set, Control reads its own source.
void takeFirstManagedReading(AppContext& context);
// Group Policy's refresh broadcast: a reading on the thread, never here.
void requestManagedReading(AppContext& context);
// A reading the thread announced: Control decides on it.
void takeManagedReading(AppContext& context);


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
