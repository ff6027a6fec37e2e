#include "Tools/publisher/Publisher.hpp"

#include <httplib.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "Common/Json/JsonReading.hpp"
#include "Platform/OneShot.hpp"
#include "Tools/publisher/Connections.hpp"
#include "Platform/PropertyList.hpp"

namespace publisher {
namespace {

namespace fs = std::filesystem;

constexpr const char* reportPath = "/ifc/ktz.aspx";
constexpr const char* cataloguePrefix = "/game-info/";
constexpr const char* ticketPath = "/ias/live/public/v1/issue/ticket/by-web-token";
constexpr const char* controlPrefix = "/_publisher/";
constexpr const char* pagesPrefix = "/pages/";
// Connections served at once; later ones wait for one of them to end.
constexpr std::size_t maxConnectionThreads = 512;

bool iequals(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::optional<std::string> readWholeFile(const std::string& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::optional<int> readStatusFile(const std::string& path) {
  auto text = readWholeFile(path);
  if (!text) return std::nullopt;
  std::string t = *text;
  while (!t.empty() && std::isspace(static_cast<unsigned char>(t.back()))) t.pop_back();
  int value = 0;
  auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
  if (ec != std::errc() || end != t.data() + t.size() || value < 100 || value > 599) return std::nullopt;
  return value;
}

std::string trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  auto e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

Request recordOf(const httplib::Request& req) {
  Request r;
  r.method = req.method;
  r.target = req.target;
  r.body = req.body;
  for (const auto& [name, value] : req.headers) {
    // The server library notes the peer's address among the headers.
    if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT") continue;
    r.headers.emplace_back(name, value);
  }
  return r;
}

std::string jsonString(const std::string& s) {
  rapidjson::StringBuffer buf;
  rapidjson::Writer<rapidjson::StringBuffer> w(buf);
  w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
  return buf.GetString();
}

std::string reportJson(const Report& r) {
  rapidjson::StringBuffer buf;
  rapidjson::Writer<rapidjson::StringBuffer> w(buf);
  w.StartObject();
  w.Key("query");
  w.String(r.query.data(), static_cast<rapidjson::SizeType>(r.query.size()));
  w.Key("userAgent");
  w.String(r.userAgent.data(), static_cast<rapidjson::SizeType>(r.userAgent.size()));
  w.Key("cookies");
  w.StartObject();
  for (const auto& [k, v] : r.cookies) {
    w.Key(k.data(), static_cast<rapidjson::SizeType>(k.size()));
    w.String(v.data(), static_cast<rapidjson::SizeType>(v.size()));
  }
  w.EndObject();
  w.EndObject();
  return buf.GetString();
}

// A catalogue name: letters, digits, "@", ".", "_", "-"; never "." first.
bool isRecordSegment(std::string_view name) {
  if (name.empty() || name.front() == '.') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '@' || c == '.' || c == '_' || c == '-';
  });
}

// One name, or names joined by "/" (a tag such as 678e/dev), none of them
// starting with ".": the record stays below game-info/.
bool isRecordName(const std::string& name) {
  std::string_view rest = name;
  for (;;) {
    const auto slash = rest.find('/');
    if (!isRecordSegment(rest.substr(0, slash))) return false;
    if (slash == std::string_view::npos) return true;
    rest.remove_prefix(slash + 1);
  }
}

// jorvu-pack beside this program, else in JORVU_BIN_DIR.
std::string findPackTool() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec && fs::exists(self.parent_path() / "jorvu-pack")) return (self.parent_path() / "jorvu-pack").string();
  if (const char* bin = std::getenv("JORVU_BIN_DIR")) return std::string(bin) + "/jorvu-pack";
  return "jorvu-pack";
}

int runAndWait(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // What it prints is a diagnostic of ours: standard output is for what
  // callers read (the port line of jorvu-publisher).
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string appRecord(const std::string& sourceURL, const std::string& manifest) {
  return R"({"game_code":128000,"game_name":"JorvuVorn","install_folder_name":"Vorn","channel":1,)"
         R"("use_stipulation":false,"get_user_install_path":false,"install_jorvu_vorn":false,)"
         R"("install_main_shortcut":false,"minimize_all_window":false,"use_ktz_uninstall":false,)"
         R"("execute_after_localinstall":false,"use_griddownload":false,"use_griddownload_patch":false,)"
         R"("install_launcher_only":false,"not_delete_target_path":true,"duplicate_game_execution":false,)"
         R"("auto_architecture_mode":false,"use_vantix_token":false,"registry_root_key":"HKLM",)"
         R"("executable_file_name":"JorvuVorn.exe","mac_executable_file_name":"JorvuVorn.app",)"
         R"("install_panel_image_width":800,"install_panel_image_height":600,"patch_panel_image_width":800,)"
         R"("patch_panel_image_height":600,"os_version":10,"x64_only":false,"dx_version":11,)"
         R"("emergency_patch_version":0,"reinstall_version":0,"service_status":1,)"
         R"("setup_file_url":")" +
         sourceURL + R"(","manifest_name":")" + manifest + R"("})";
}

// The media type of a static file, by its name's ending: web pages and their
// parts are served so that a browser shows them; everything else is bytes.
std::string mediaTypeOf(const std::string& path) {
  static const std::pair<const char*, const char*> types[] = {
      {".html", "text/html; charset=utf-8"}, {".js", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},   {".json", "application/json"},
      {".png", "image/png"},                 {".svg", "image/svg+xml"},
      {".txt", "text/plain; charset=utf-8"},
  };
  for (const auto& [ending, type] : types) {
    const std::string e = ending;
    if (path.size() > e.size() && path.compare(path.size() - e.size(), e.size(), e) == 0) return type;
  }
  return "application/octet-stream";
}

// A plain file name: letters, digits, ".", "_" and "-", not beginning with ".".
bool isPlainName(const std::string& name) {
  return isRecordSegment(name) && name.find('@') == std::string::npos;
}

}  // namespace

// ---- the app as a game ----

std::string Publisher::publishApp(const std::string& appBundle, const std::string& version,
                                  const std::string& packTool) {
  const std::string name = "jorvuvorn-" + std::to_string(++appReleases_) + (version.empty() ? "" : "-" + version);
  const std::string base = root();
  const fs::path tree = fs::path(base) / "app-releases" / name;
  const fs::path copy = tree / "JorvuVorn.app";
  std::error_code ec;
  fs::remove_all(tree, ec);
  fs::create_directories(tree);
  fs::copy(appBundle, copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  if (!version.empty()) {
    const std::string plistPath = (copy / "Contents/Info.plist").string();
    auto plist = platform::readPropertyList(plistPath);
    if (!plist || plist->dict() == nullptr) throw std::runtime_error("no Info.plist in " + appBundle);
    platform::PlistDict dict = *plist->dict();
    dict["CFBundleShortVersionString"] = platform::PlistValue(version);
    if (!platform::writePropertyList(plistPath, platform::PlistValue(std::move(dict)))) {
      throw std::runtime_error("cannot write " + plistPath);
    }
  }
  const std::string source = base + "/app-source";
  const std::vector<std::string> argv{packTool.empty() ? findPackTool() : packTool, "--out", source, "--name", name,
                                      "--jobs", "2", "--level", "1", tree.string()};
  if (runAndWait(argv) != 0) throw std::runtime_error("jorvu-pack failed for " + appBundle);
  const std::string record = appRecord(origin() + "/app-source", name);
  for (const char* tag : {"678e", "678e/dev"}) {
    const fs::path path = fs::path(base) / "game-info" / (std::string("128000@") + tag + ".json");
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << record;
  }
  return name;
}

// ---- Request ----

std::optional<std::string> Request::header(const std::string& name) const {
  for (const auto& [k, v] : headers) {
    if (iequals(k, name)) return v;
  }
  return std::nullopt;
}

std::size_t Request::headerCount(const std::string& name) const {
  return static_cast<std::size_t>(
      std::count_if(headers.begin(), headers.end(), [&](const auto& h) { return iequals(h.first, name); }));
}

// ---- Fault ----

Fault Fault::failTimes(int n, int status, std::string body) {
  Fault f;
  f.kind = Kind::failTimes;
  f.count = n;
  f.status = status;
  f.body = std::move(body);
  return f;
}

Fault Fault::stall(std::chrono::milliseconds duration, std::size_t afterBytes) {
  Fault f;
  f.kind = Kind::stall;
  f.duration = duration;
  f.afterBytes = afterBytes;
  return f;
}

Fault Fault::respond(int status, std::string body) {
  Fault f;
  f.kind = Kind::respond;
  f.status = status;
  f.body = std::move(body);
  return f;
}

Fault Fault::head404() {
  Fault f;
  f.kind = Kind::head404;
  return f;
}

Fault Fault::dropMidBody(std::size_t afterBytes) {
  Fault f;
  f.kind = Kind::dropMidBody;
  f.afterBytes = afterBytes;
  return f;
}

std::optional<Fault> Fault::fromJson(const std::string& json) {
  try {
    auto doc = jsoncoding::parseDocument(json);
    jsoncoding::ObjectReader r(doc, "fault");
    const std::string kind = r.string("kind");
    const int count = static_cast<int>(std::min<std::uint32_t>(r.optU32("count").value_or(1), 1u << 30));
    const int status = static_cast<int>(std::clamp<std::uint32_t>(r.optU32("status").value_or(500), 100, 599));
    const std::string body = r.optString("body").value_or("");
    const auto ms = std::chrono::milliseconds(r.optU32("ms").value_or(0));
    const std::size_t bytes = static_cast<std::size_t>(r.optU64("bytes").value_or(0));
    if (kind == "failTimes") return failTimes(count, status, body);
    if (kind == "stall") return stall(ms, bytes);
    if (kind == "respond") return respond(status, body);
    if (kind == "head404") return head404();
    if (kind == "dropMidBody") return dropMidBody(bytes);
    return std::nullopt;
  } catch (const jsoncoding::DecodingError&) {
    return std::nullopt;
  }
}

// ---- Publisher ----

Publisher::Publisher(std::string root) : root_(std::move(root)) {}

Publisher::~Publisher() { stop(); }

void Publisher::start(const std::string& host, int port) {
  if (server_) throw std::runtime_error("publisher already started");
  {
    std::lock_guard lock(mutex_);
    stopping_ = false;
  }
  host_ = host;
  server_ = std::make_unique<httplib::Server>();
  platform::OneShot<bool> running;
  // The task queue is made once the server runs: from then on stop() works.
  server_->new_task_queue = [running]() -> httplib::TaskQueue* {
    running.resolve(true);
    return new ConnectionThreads(maxConnectionThreads);
  };
  server_->set_keep_alive_timeout(1);
  // A job keeps its connections for thousands of small objects: without
  // these, every fifth request opened a new connection and small replies
  // waited out the peer's delayed acknowledgement.
  server_->set_keep_alive_max_count(100000);
  server_->set_tcp_nodelay(true);
  int listening = -1;
  server_->set_socket_options([&listening](socket_t sock) {
    httplib::default_socket_options(sock);
    listening = sock;
  });
  auto handler = [this](const httplib::Request& req, httplib::Response& res) { handle(req, res); };
  server_->Get(".*", handler);
  server_->Post(".*", handler);
  server_->Delete(".*", handler);
  server_->Put(".*", handler);

  if (port == 0) {
    port_ = server_->bind_to_any_port(host);
  } else {
    port_ = server_->bind_to_port(host, port) ? port : -1;
  }
  if (port_ <= 0) {
    server_.reset();
    throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port));
  }
  // The library listens with a backlog of 5: connections that come together
  // (a job's parallel downloads) waited a second for the kernel to take them.
  if (listening >= 0) ::listen(listening, SOMAXCONN);
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  if (!running.waitFor(std::chrono::seconds(10))) {
    throw std::runtime_error("publisher did not start");
  }
}

void Publisher::stop() {
  if (!server_) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    wakeStallsLocked();
  }
  changed_.notify_all();
  server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

std::string Publisher::origin() const {
  const bool v6 = host_.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_);
}

void Publisher::setRoot(std::string root) {
  std::lock_guard lock(mutex_);
  root_ = std::move(root);
}

std::string Publisher::root() const {
  std::lock_guard lock(mutex_);
  return root_;
}

void Publisher::setFault(const std::string& path, Fault fault) {
  {
    std::lock_guard lock(mutex_);
    faults_[path] = ActiveFault{std::move(fault), 0};
    ++faultGeneration_;
    wakeStallsLocked();
  }
  changed_.notify_all();
}

void Publisher::clearFault(const std::string& path) {
  {
    std::lock_guard lock(mutex_);
    faults_.erase(path);
    ++faultGeneration_;
    wakeStallsLocked();
  }
  changed_.notify_all();
}

void Publisher::clearFaults() {
  {
    std::lock_guard lock(mutex_);
    faults_.clear();
    ++faultGeneration_;
    wakeStallsLocked();
  }
  changed_.notify_all();
}

std::vector<Report> Publisher::reports() const {
  std::lock_guard lock(mutex_);
  return reports_;
}

bool Publisher::waitForReports(std::size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return reports_.size() >= n; });
}

std::vector<Request> Publisher::catalogueRequests() const {
  std::lock_guard lock(mutex_);
  return catalogueRequests_;
}

std::vector<Request> Publisher::ticketRequests() const {
  std::lock_guard lock(mutex_);
  return ticketRequests_;
}

std::size_t Publisher::requestCount(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto it = counts_.find(path);
  return it == counts_.end() ? 0 : it->second;
}

bool Publisher::waitForRequests(const std::string& path, std::size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    auto it = counts_.find(path);
    return it != counts_.end() && it->second >= n;
  });
}

void Publisher::wakeStallsLocked() {
  if (!stallWake_) return;
  stallWake_->wakeAll();
  stallWake_.reset();
}

bool Publisher::stallFor(int connection, std::chrono::milliseconds duration, std::uint64_t generation) {
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (duration.count() > 0) deadline = std::chrono::steady_clock::now() + duration;
  bool peerGone = false;
  for (;;) {
    std::shared_ptr<WakePipe> wake;
    {
      std::lock_guard lock(mutex_);
      if (stopping_ || faultGeneration_ != generation) break;
      if (!stallWake_) stallWake_ = WakePipe::make();
      wake = stallWake_;
    }
    if (!wake) break;  // nothing to wait on: the stall is over at once
    const HeldWait waited = waitHeld(connection, wake->readEnd(), deadline);
    if (waited == HeldWait::timedOut) break;
    if (waited == HeldWait::peerGone) {
      peerGone = true;
      break;
    }
  }
  // Each stall lets go of its pipe before it looks here: the last one to
  // end closes it.
  std::lock_guard lock(mutex_);
  if (stallWake_ && stallWake_.use_count() == 1) stallWake_.reset();
  return !stopping_ && !peerGone;
}

void Publisher::handle(const httplib::Request& req, httplib::Response& res) {
  const std::string& path = req.path;
  if (path.rfind(controlPrefix, 0) == 0) {
    serveControl(req, res);
    return;
  }

  // Look the fault up and note the request.
  std::optional<Fault> fault;
  std::uint64_t generation = 0;
  bool answered = false;
  {
    std::lock_guard lock(mutex_);
    ++counts_[path];
    generation = faultGeneration_;
    for (auto& [prefix, active] : faults_) {
      const bool matches = prefix == path || (!prefix.empty() && prefix.back() == '/' && path.rfind(prefix, 0) == 0);
      if (!matches) continue;
      if (active.fault.kind == Fault::Kind::failTimes) {
        if (active.used >= active.fault.count) continue;  // spent
        ++active.used;
      }
      fault = active.fault;
      break;
    }
    if (path == reportPath) {
      Report r;
      r.query = req.target.find('?') == std::string::npos ? "" : req.target.substr(req.target.find('?') + 1);
      r.userAgent = req.get_header_value("User-Agent");
      r.cookieHeaderCount = req.get_header_value_count("Cookie");
      r.cookieHeader = req.get_header_value("Cookie");
      for (std::size_t i = 0; i < r.cookieHeaderCount; ++i) {
        std::istringstream pairs(req.get_header_value("Cookie", i));
        std::string pair;
        while (std::getline(pairs, pair, ';')) {
          pair = trim(pair);
          auto eq = pair.find('=');
          if (eq == std::string::npos) continue;
          r.cookies[pair.substr(0, eq)] = pair.substr(eq + 1);
        }
      }
      reports_.push_back(r);
      std::ofstream(root_ + "/reports.log", std::ios::app) << reportJson(r) << "\n";
    } else if (path.rfind(cataloguePrefix, 0) == 0) {
      catalogueRequests_.push_back(recordOf(req));
    } else if (path == ticketPath) {
      ticketRequests_.push_back(recordOf(req));
    }
  }
  changed_.notify_all();

  if (fault) {
    switch (fault->kind) {
      case Fault::Kind::failTimes:
      case Fault::Kind::respond:
        res.status = fault->status;
        res.set_content(fault->body, "text/plain");
        answered = true;
        break;
      case Fault::Kind::head404:
        if (req.method == "HEAD") {
          res.status = 404;
          answered = true;
        }
        break;
      case Fault::Kind::stall:
        if (fault->afterBytes == 0 && !stallFor(connectionSocket(req), fault->duration, generation)) {
          res.status = 503;
          answered = true;
        }
        break;
      case Fault::Kind::dropMidBody: break;
    }
  }
  if (answered) return;

  if (path == reportPath) {
    res.status = 200;
  } else if (path.rfind(cataloguePrefix, 0) == 0) {
    serveCatalogue(req, res);
  } else if (path == ticketPath) {
    serveTicket(req, res);
  } else if (path.rfind(pagesPrefix, 0) == 0) {
    servePage(req, res);
  } else {
    serveStatic(req, res);
  }

  // Faults inside the body: the answer is streamed and cut or held.
  if (fault && fault->afterBytes > 0 && req.method != "HEAD" && res.status == 200 &&
      (fault->kind == Fault::Kind::dropMidBody || fault->kind == Fault::Kind::stall)) {
    auto body = std::make_shared<std::string>(std::move(res.body));
    const std::string type = res.get_header_value("Content-Type");
    res.body.clear();
    const Fault f = *fault;
    // Looked up here, on the connection's own thread, which keeps it open
    // until the answer is written.
    const int connection = f.kind == Fault::Kind::stall ? connectionSocket(req) : -1;
    res.set_content_provider(body->size(), type.empty() ? "application/octet-stream" : type,
                             [this, body, f, connection, generation](std::size_t offset, std::size_t length,
                                                                     httplib::DataSink& sink) {
                               std::size_t end = offset + length;
                               if (offset < f.afterBytes) {
                                 std::size_t first = std::min(end, f.afterBytes);
                                 if (!sink.write(body->data() + offset, first - offset)) return false;
                                 if (first == end) return true;
                                 offset = first;
                               }
                               if (f.kind == Fault::Kind::dropMidBody) return false;  // cut here
                               if (!stallFor(connection, f.duration, generation)) return false;
                               return sink.write(body->data() + offset, end - offset);
                             });
  }
}

void Publisher::sendBody(const httplib::Request&, httplib::Response& res, std::string body, const std::string& type) {
  res.set_content(std::move(body), type);
}

void Publisher::serveCatalogue(const httplib::Request& req, httplib::Response& res) {
  const std::string name = req.path.substr(std::string(cataloguePrefix).size());
  if (!isRecordName(name)) {
    res.status = 404;
    return;
  }
  const std::string base = root() + "/game-info/" + name;
  auto record = readWholeFile(base + ".json");
  auto status = readStatusFile(base + ".status");
  if (!record && !status) {
    res.status = 404;
    res.set_content("no such game", "text/plain");
    return;
  }
  res.status = status.value_or(200);
  if (record) sendBody(req, res, *record, "application/json");
}

void Publisher::serveTicket(const httplib::Request& req, httplib::Response& res) {
  const std::string dir = root() + "/ticket";
  res.status = readStatusFile(dir + "/status").value_or(200);
  if (auto body = readWholeFile(dir + "/body")) {
    sendBody(req, res, *body, "application/json");
    return;
  }
  std::optional<std::string> gid;
  try {
    auto doc = jsoncoding::parseDocument(req.body);
    gid = jsoncoding::ObjectReader(doc, "request").string("gid");
  } catch (const jsoncoding::DecodingError&) {
  }
  if (!gid) {
    res.status = 400;
    sendBody(req, res, R"({"error":{"code":400,"message":"bad request"}})", "application/json");
    return;
  }
  sendBody(req, res, "{\"ticket\":" + jsonString("ticket-" + *gid) + "}", "application/json");
}

std::optional<std::string> Publisher::fileUnderRoot(const std::string& relative) const {
  if (relative.empty() || relative.front() != '/' || relative.find('\0') != std::string::npos) return std::nullopt;
  std::istringstream parts(relative.substr(1));
  std::string part;
  while (std::getline(parts, part, '/')) {
    if (part == ".." || part == ".") return std::nullopt;
  }
  std::error_code ec;
  const fs::path base = fs::weakly_canonical(root(), ec);
  if (ec) return std::nullopt;
  const fs::path target = fs::weakly_canonical(base / relative.substr(1), ec);
  if (ec) return std::nullopt;
  // Stay inside the root even through symbolic links.
  auto rel = target.lexically_relative(base);
  if (rel.empty() || *rel.begin() == "..") return std::nullopt;
  if (!fs::is_regular_file(target, ec)) return std::nullopt;
  return target.string();
}

void Publisher::serveStatic(const httplib::Request& req, httplib::Response& res) {
  auto file = fileUnderRoot(req.path);
  std::optional<std::string> bytes = file ? readWholeFile(*file) : std::nullopt;
  if (!bytes) {
    res.status = 404;
    res.set_content("not found", "text/plain");
    return;
  }
  res.status = 200;
  sendBody(req, res, std::move(*bytes), mediaTypeOf(*file));
}

bool Publisher::useRecord(const std::string& game, const std::string& record) {
  const auto at = game.find('@');
  const std::string code = game.substr(0, at);
  const bool codeOk = !code.empty() && code.size() <= 10 &&
                      std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!codeOk || !isRecordName(game) || (at != std::string::npos && !isPlainName(game.substr(at + 1))) ||
      !isPlainName(record)) {
    throw std::invalid_argument("expected a game code with an optional @tag and a plain record name");
  }
  auto source = fileUnderRoot("/records/" + record + ".json");
  auto bytes = source ? readWholeFile(*source) : std::nullopt;
  if (!bytes) return false;
  // Written beside and renamed: a catalogue request sees the old record or the new one.
  std::lock_guard lock(mutex_);
  const fs::path folder = fs::path(root_) / "game-info";
  std::error_code ec;
  fs::create_directories(folder, ec);
  const fs::path target = folder / (game + ".json");
  const fs::path temporary = folder / ("." + game + ".json.tmp");
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << *bytes;
    if (!out.flush()) throw std::runtime_error("cannot write " + temporary.string());
  }
  fs::rename(temporary, target);
  return true;
}

void Publisher::servePage(const httplib::Request& req, httplib::Response& res) {
  const std::string name = req.path.substr(std::string(pagesPrefix).size());
  const bool plain = !name.empty() && name.front() != '.' && std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_';
  });
  std::optional<std::string> bytes = plain ? readWholeFile(std::string(JORVU_PUBLISHER_PAGES) + "/" + name) : std::nullopt;
  if (!bytes) {
    res.status = 404;
    res.set_content("not found", "text/plain");
    return;
  }
  const bool html = name.size() > 5 && name.compare(name.size() - 5, 5, ".html") == 0;
  res.status = 200;
  sendBody(req, res, std::move(*bytes), html ? "text/html; charset=utf-8" : "application/octet-stream");
}

void Publisher::serveControl(const httplib::Request& req, httplib::Response& res) {
  const std::string what = req.path.substr(std::string(controlPrefix).size());
  if (req.method == "POST" && what == "fault") {
    std::optional<std::string> path;
    try {
      auto doc = jsoncoding::parseDocument(req.body);
      path = jsoncoding::ObjectReader(doc, "fault").string("path");
    } catch (const jsoncoding::DecodingError&) {
    }
    auto fault = Fault::fromJson(req.body);
    if (!path || !fault) {
      res.status = 400;
      res.set_content("expected {\"path\":...,\"kind\":...}\n", "text/plain");
      return;
    }
    setFault(*path, *fault);
    res.status = 204;
  } else if (req.method == "POST" && what == "catalogue") {
    std::optional<std::string> game;
    std::optional<std::string> record;
    try {
      auto doc = jsoncoding::parseDocument(req.body);
      jsoncoding::ObjectReader reader(doc, "catalogue");
      game = reader.string("game");
      record = reader.string("record");
    } catch (const jsoncoding::DecodingError&) {
    }
    try {
      if (!game || !record) throw std::invalid_argument("expected {\"game\":...,\"record\":...}");
      res.status = useRecord(*game, *record) ? 204 : 404;
    } catch (const std::invalid_argument& e) {
      res.status = 400;
      res.set_content(std::string(e.what()) + "\n", "text/plain");
    } catch (const std::exception& e) {
      res.status = 500;
      res.set_content(std::string(e.what()) + "\n", "text/plain");
    }
  } else if (req.method == "DELETE" && what == "faults") {
    clearFaults();
    res.status = 204;
  } else if (req.method == "GET" && what == "reports") {
    std::string out = "[";
    for (const auto& r : reports()) out += (out.size() > 1 ? "," : "") + reportJson(r);
    res.set_content(out + "]", "application/json");
    res.status = 200;
  } else {
    res.status = 404;
  }
}

}  // namespace publisher
