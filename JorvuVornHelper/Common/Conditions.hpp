#pragma once
// Conditions that a catalogue record sets on work and launch: the lowest
// system version a game installs on, and the game's maintenance window. A
// caller runs a list of them in order; the first failure stands.
#include <chrono>
#include <memory>
#include <string_view>
#include <vector>

#include "JorvuVornHelper/Common/GameInfo.hpp"

class Condition {
 public:
  virtual ~Condition() = default;
  // Returns when the condition holds; throws SubError otherwise.
  virtual void check(const GameInfo& gameInfo) const = 0;
};

using Conditions = std::vector<std::unique_ptr<Condition>>;

// Runs every condition against the record, in order.
void checkAll(const Conditions& conditions, const GameInfo& gameInfo);

// Fails with SubError::OSVersionLimit(currentOS, limitOS) when the record's
// `mac_os_version` is newer than the running system. Equal versions pass; a
// limit that is absent or reads as 0 passes.
class OSVersionLimited : public Condition {
 public:
  void check(const GameInfo& gameInfo) const override;

  // The leading decimal number of a version text (leading blanks skipped,
  // reading stops at the first character that is not part of it). Only a
  // finite decimal counts: no number, "inf", "nan", hexadecimal and values
  // out of a float's range all give 0.
  static float versionLimit(std::string_view text);
};

// Fails with SubError::Maintenance(startTime, endTime, reason, relatedLink)
// while the record marks the game as not available and the current time
// lies in [start_time, end_time). A bound that does not read leaves that
// side of the window open.
class MaintenanceCondition : public Condition {
 public:
  void check(const GameInfo& gameInfo) const override;
  // The same at a given instant.
  static void check(const GameInfo& gameInfo, std::chrono::system_clock::time_point now);
};
