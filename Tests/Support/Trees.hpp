#pragma once
// Folder trees in tests: a release written from a list of files, two trees
// compared, files found by the end of their names.
//
// Thread contract: any thread.
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// Writes each relative path's bytes below `root` (folders made).
void writeTree(const std::string& root, const std::map<std::string, std::string>& files);

// The differences between two folders (paths, kinds, bytes), leaving out an
// installed game's local manifest file at the top; "" when they are equal.
// An empty or missing `expected` is a difference too.
std::string diffTrees(const std::string& expected, const std::string& actual);

// Relative paths of the regular files below `folder` whose names end in
// `suffix`.
std::vector<std::string> filesEndingWith(const std::string& folder, const std::string& suffix);

}  // namespace testsupport
