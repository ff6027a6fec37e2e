#include "Platform/launchctl/LaunchJob.hpp"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "Platform/FileUtil.hpp"
#include "Platform/Paths.hpp"
#include "Platform/PropertyList.hpp"
#include "Platform/XPC/XPCListener.hpp"

namespace launchctl {
namespace {

constexpr std::size_t maxLabelLength = 200;
constexpr std::size_t maxArguments = 1024;
constexpr std::size_t maxServices = 16;
constexpr const char* recordSuffix = ".plist";

bool hasNul(const std::string& text) { return text.find('\0') != std::string::npos; }

bool isAlnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// A Mach service name also names a socket file and an entry of
// LISTEN_FDNAMES (":"-separated): printable ASCII without blanks or ":".
bool isSafeServiceName(const std::string& name) {
  if (name.empty() || name.size() > maxLabelLength) return false;
  for (char c : name) {
    if (c <= ' ' || c > '~' || c == ':') return false;
  }
  return !platform::xpc::servicePath(name).empty();
}

bool isEnvironmentName(const std::string& name) {
  return !name.empty() && name.find('=') == std::string::npos && !hasNul(name);
}

std::optional<platform::PlistValue> readDictionary(const std::string& path, std::string* error) {
  auto plist = platform::readPropertyList(path);
  if (!plist) {
    *error = "cannot read the property list " + path;
    return std::nullopt;
  }
  if (plist->dict() == nullptr) {
    *error = "the property list " + path + " is not a dictionary";
    return std::nullopt;
  }
  return plist;
}

std::optional<std::string> labelOf(const platform::PlistValue& plist, std::string* error) {
  const platform::PlistValue* label = plist.find("Label");
  if (label == nullptr || label->string() == nullptr) {
    *error = "the property list has no Label";
    return std::nullopt;
  }
  if (!isSafeLabel(*label->string())) {
    *error = "invalid Label";
    return std::nullopt;
  }
  return *label->string();
}

// A program path of the property list: absolute, resolved through the root.
std::optional<std::string> programPath(const std::string& path, std::string* error) {
  if (path.empty() || path.front() != '/' || hasNul(path)) {
    *error = "the program must be an absolute path";
    return std::nullopt;
  }
  return platform::resolvePath(path);
}

}  // namespace

bool isSafeLabel(const std::string& label) {
  if (label.empty() || label.size() > maxLabelLength || !isAlnum(label.front())) return false;
  return std::all_of(label.begin(), label.end(), [](char c) { return isAlnum(c) || c == '.' || c == '-' || c == '_'; });
}

std::optional<std::string> readJobLabel(const std::string& plistPath, std::string* error) {
  auto plist = readDictionary(plistPath, error);
  if (!plist) return std::nullopt;
  return labelOf(*plist, error);
}

std::optional<JobSpec> readJobSpec(const std::string& plistPath, std::string* error) {
  auto plist = readDictionary(plistPath, error);
  if (!plist) return std::nullopt;
  JobSpec spec;
  auto label = labelOf(*plist, error);
  if (!label) return std::nullopt;
  spec.label = *label;

  const platform::PlistValue* program = plist->find("Program");
  const platform::PlistValue* arguments = plist->find("ProgramArguments");
  if (arguments != nullptr) {
    const platform::PlistArray* list = arguments->array();
    if (list == nullptr || list->empty() || list->size() > maxArguments) {
      *error = "ProgramArguments must be a list of 1 to 1024 texts";
      return std::nullopt;
    }
    for (const auto& item : *list) {
      if (item.string() == nullptr || hasNul(*item.string())) {
        *error = "ProgramArguments must hold texts only";
        return std::nullopt;
      }
      spec.arguments.push_back(*item.string());
    }
  }
  std::string path;
  if (program != nullptr) {
    if (program->string() == nullptr) {
      *error = "Program must be a text";
      return std::nullopt;
    }
    path = *program->string();
    if (spec.arguments.empty()) spec.arguments.push_back(path);
  } else if (!spec.arguments.empty()) {
    path = spec.arguments.front();
  } else {
    *error = "the property list has neither Program nor ProgramArguments";
    return std::nullopt;
  }
  auto resolved = programPath(path, error);
  if (!resolved) return std::nullopt;
  spec.program = *resolved;

  if (const platform::PlistValue* services = plist->find("MachServices")) {
    const platform::PlistDict* dict = services->dict();
    if (dict == nullptr || dict->size() > maxServices) {
      *error = "MachServices must be a dictionary of at most 16 services";
      return std::nullopt;
    }
    for (const auto& [name, value] : *dict) {
      if (!isSafeServiceName(name)) {
        *error = "invalid Mach service name";
        return std::nullopt;
      }
      // A service turned off by a false flag is not published.
      if (value.boolean() != nullptr && !*value.boolean()) continue;
      spec.machServices.push_back(name);
    }
  }

  if (const platform::PlistValue* environment = plist->find("EnvironmentVariables")) {
    const platform::PlistDict* dict = environment->dict();
    if (dict == nullptr) {
      *error = "EnvironmentVariables must be a dictionary";
      return std::nullopt;
    }
    for (const auto& [name, value] : *dict) {
      if (!isEnvironmentName(name) || value.string() == nullptr || hasNul(*value.string())) {
        *error = "invalid environment variable";
        return std::nullopt;
      }
      spec.environment.emplace_back(name, *value.string());
    }
  }
  return spec;
}

std::string stateFolder() {
  return platform::runtimeDirectory() + "/launchd";
}

std::string recordPath(const std::string& label) { return stateFolder() + "/" + label + recordSuffix; }

bool writeRecord(const JobRecord& record) {
  if (!isSafeLabel(record.label)) return false;
  platform::PlistArray services(record.machServices.begin(), record.machServices.end());
  platform::PlistArray sockets(record.socketPaths.begin(), record.socketPaths.end());
  platform::PlistDict dict{
      {"Label", record.label},
      {"PID", static_cast<std::int64_t>(record.pid)},
      {"StartTime", static_cast<std::int64_t>(record.startTime)},
      {"Plist", record.plistPath},
      {"Program", record.program},
      {"MachServices", std::move(services)},
      {"Sockets", std::move(sockets)},
  };
  return platform::writeFileAtomically(recordPath(record.label), platform::propertyListToXml(dict), 0600);
}

std::optional<JobRecord> readRecord(const std::string& label) {
  if (!isSafeLabel(label)) return std::nullopt;
  auto plist = platform::readPropertyList(recordPath(label));
  if (!plist) return std::nullopt;
  auto text = [&](const char* key) -> const std::string* {
    const platform::PlistValue* v = plist->find(key);
    return v ? v->string() : nullptr;
  };
  auto integer = [&](const char* key) -> const std::int64_t* {
    const platform::PlistValue* v = plist->find(key);
    return v ? v->integer() : nullptr;
  };
  auto texts = [&](const char* key, std::vector<std::string>& out) {
    const platform::PlistValue* v = plist->find(key);
    if (v == nullptr || v->array() == nullptr) return false;
    for (const auto& item : *v->array()) {
      if (item.string() == nullptr) return false;
      out.push_back(*item.string());
    }
    return true;
  };
  JobRecord record;
  const std::string* recordedLabel = text("Label");
  const std::int64_t* pid = integer("PID");
  const std::int64_t* startTime = integer("StartTime");
  const std::string* plistPath = text("Plist");
  const std::string* program = text("Program");
  if (recordedLabel == nullptr || *recordedLabel != label || pid == nullptr || *pid <= 1 || *pid > INT32_MAX ||
      startTime == nullptr || *startTime < 0 || plistPath == nullptr || program == nullptr ||
      !texts("MachServices", record.machServices) || !texts("Sockets", record.socketPaths)) {
    return std::nullopt;
  }
  record.label = label;
  record.pid = static_cast<pid_t>(*pid);
  record.startTime = static_cast<std::uint64_t>(*startTime);
  record.plistPath = *plistPath;
  record.program = *program;
  return record;
}

std::vector<std::string> recordedLabels() {
  std::vector<std::string> labels;
  std::error_code ec;
  const std::string suffix = recordSuffix;
  for (const auto& entry : std::filesystem::directory_iterator(stateFolder(), ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
    std::string label = name.substr(0, name.size() - suffix.size());
    if (isSafeLabel(label)) labels.push_back(std::move(label));
  }
  std::sort(labels.begin(), labels.end());
  return labels;
}

void removeRecord(const std::string& label) {
  if (isSafeLabel(label)) ::unlink(recordPath(label).c_str());
}

std::optional<std::uint64_t> processStartTime(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  auto stat = platform::readFile("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return std::nullopt;
  // "pid (comm) state ppid ...": the name may hold blanks and parentheses.
  const auto close = stat->rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat->substr(close + 1));
  std::string state;
  fields >> state;
  if (state.empty() || state == "Z" || state == "X" || state == "x") return std::nullopt;
  // Field 22 is the start time; fields 4 to 21 come first.
  std::string skip;
  for (int i = 4; i <= 21; ++i) fields >> skip;
  std::uint64_t start = 0;
  if (!(fields >> start)) return std::nullopt;
  return start;
}

bool isRunning(const JobRecord& record) {
  auto start = processStartTime(record.pid);
  return start && *start == record.startTime;
}

}  // namespace launchctl
