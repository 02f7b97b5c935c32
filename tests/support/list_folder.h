// The tests' one way of listing a folder.
#pragma once

#include <string>
#include <vector>

// Names directly inside `folder`, sorted; "." and ".." left out. Throws
// std::runtime_error when the folder cannot be read.
std::vector<std::string> ListFolder(const std::string& folder);

#ifndef _WIN32
// The same for a folder open as the descriptor `folder`, which stays open:
// for trees deeper than a path can name, walked one folder at a time.
std::vector<std::string> ListFolderAt(int folder);
#endif
