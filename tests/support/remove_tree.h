// The tests' one way of removing a folder with everything in it.
#pragma once

#include <string>

// Removes `root` and everything under it; a link is removed, never followed.
// On Linux the work goes through directory descriptors, relative to each
// folder, so that paths longer than the system's limit (which some cases
// build on purpose) are removed too, and folders a case left unwritable are
// opened up first. Returns true when nothing is left at `root`.
bool RemoveTree(const std::string& root);
