// A folder's whole contents as one comparable value, and what the end-to-end
// cases need to lay out a working folder (RemoveTree, in tests/support,
// clears it away).
//
// Everything works through directory descriptors, relative to the folder, so
// that paths longer than the platform's limit (which one case builds on
// purpose) can still be listed.
#pragma once

#include <map>
#include <string>

#include "archive_builder.h"

// What one path holds: a folder, a named pipe, a symbolic link to
// `link_to`, or a file with its bytes.
struct TreeNode {
  bool is_folder = false;
  Bytes bytes;
  bool is_pipe = false;
  std::string link_to;
  bool operator==(const TreeNode&) const = default;
};

// Paths relative to the tree's root, "/"-separated, without a leading "./".
using FileTree = std::map<std::string, TreeNode>;

// Every folder, named pipe, symbolic link and regular file under `root`.
// Anything else (a device) is listed as a file holding a description of what
// it is, so that a comparison shows it.
FileTree SnapshotTree(const std::string& root);

// Creates `root` if needed and every node of `tree` under it, parents first: folders (also the
// parents a file path implies), named pipes, symbolic links and files with their bytes.
void CreateTree(const std::string& root, const FileTree& tree);

// A readable account of how `actual` differs from `expected`; empty when equal.
std::string DescribeTreeDifference(const FileTree& expected, const FileTree& actual);
