#pragma once
// The paths the live release names in the game's folder, each with the key
// that names it. Keys spell a path in more than one way ("\" or "/" between
// its names, with the Base64 padding or without), so a file on disk is
// matched to the release by its path, never by the Base64 of that path.
//
// Made by one thread from the live manifest, which a job never changes;
// then only read.
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "JorvuVornHelper/GameManager/OBD/Core/OBDManifest.hpp"

class OBDLivePaths {
 public:
  explicit OBDLivePaths(const OBDManifest& live);

  // The live key that names `relative` (a path below the game's folder with
  // "/" between its names), or null.
  const std::string* KeyOf(const std::string& relative) const;
  // Whether the release names `relative` or a path below it: deleting it
  // would delete a file of the release.
  bool Holds(const std::string& relative) const;
  // What the temp file of the file at `relative` adds to its name (the
  // temp file lies beside it): `suffix` itself (".zqgz" or ".zqdelta"),
  // unless the release names the path that makes (or `alsoTaken` holds for
  // it: the files installed there); then ".~", ".~~", ... before `suffix`,
  // the first whose path is taken neither with nor without `suffix`. So no
  // such file is ever taken for a temp file, two files never share one, and
  // every temp file still ends in `suffix`.
  std::string TempSuffixOf(const std::string& relative, std::string_view suffix,
                           const std::function<bool(const std::string&)>& alsoTaken = {}) const;

 private:
  std::map<std::string, std::string> keys_;  // relative path -> key
};
