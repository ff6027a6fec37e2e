#pragma once
// Pieces of the end-to-end tests: the helper program as a child process in a
// process group of its own, the XPC client that drives it, catalogue records,
// folder trees, jorvu-pack and zip runs.
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Tests/Support/CatalogueRecord.hpp"
#include "Tests/Support/HelperProcess.hpp"
#include "Tests/Support/Trees.hpp"
#include "Tests/Support/WaitUntil.hpp"

namespace e2e {

using namespace std::chrono_literals;
using DataAnswer = std::pair<bool, std::optional<std::string>>;

// The helper program and its client (see Tests/Support/HelperProcess.hpp).
using testsupport::DataAnswer;
using Client = testsupport::HelperClient;

// A catalogue record with every required key; values are raw JSON.
class Record {
 public:
  explicit Record(std::uint32_t code);
  Record& set(const std::string& key, const std::string& rawJson);
  Record& text(const std::string& key, const std::string& value);
  std::string json() const;

 private:
  std::map<std::string, std::string> members_;
};

using testsupport::diffTrees;
using testsupport::filesEndingWith;
using testsupport::jsonQuoted;
using testsupport::kstText;
using testsupport::writeTree;

// A bundle <folder>/<Name>.app whose executable is a copy of jorvu-fakegame.
void makeFakeGameBundle(const std::string& folder, const std::string& name);
using testsupport::runProgram;
std::string base64(const std::string& bytes);

using testsupport::waitUntil;

}  // namespace e2e
