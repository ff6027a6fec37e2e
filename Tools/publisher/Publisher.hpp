#pragma once
// A local stand-in for the publisher's services, for tests and the demo:
//   GET  /game-info/<code>[@tag]   the catalogue record <root>/game-info/<code>[@tag].json
//                                  (a tag may have "/" between real names: 128000@678e/dev),
//                                  answered with the status in <root>/game-info/<name>.status
//                                  when that file exists (200 otherwise, 404 without a record)
//   POST /ias/live/public/v1/issue/ticket/by-web-token
//                                  the sign-in ticket: status <root>/ticket/status (default
//                                  200) and body <root>/ticket/body (default
//                                  {"ticket":"ticket-<gid>"})
//   GET  /ifc/ktz.aspx?<query>     a statistics report: recorded (query and cookies) and
//                                  appended as one JSON line to <root>/reports.log; 200
//   GET  /pages/<name>             our own pages (Tools/publisher/pages/): setup.html is
//                                  a setup panel page using the whole ktz interface (see
//                                  its header for its query parameters)
//   GET/HEAD anything else         the static file under <root> (ranges supported; web
//                                  pages, scripts and images with their media types)
//   POST /_publisher/fault         scripts a fault (JSON body, see Fault::fromJson)
//   POST /_publisher/catalogue     {"game":"<code>[@tag]","record":"<name>"}: the catalogue
//                                  record of the game becomes <root>/records/<name>.json
//                                  (a new release, a maintenance window); 204, 404 without
//                                  such a record, 400 for other names
//   DELETE /_publisher/faults      clears every fault
// Faults apply to the requests whose path equals the fault's path, or starts
// with it when the fault's path ends in "/".
// A stall holds only its own connection (each is served on a thread of its
// own) and ends when its peer has gone: other requests are answered all the
// while, and stop() ends every stall.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace publisher {

class WakePipe;

struct Report {
  std::string query;                           // the raw query text
  std::map<std::string, std::string> cookies;  // parsed from the Cookie header
  std::string cookieHeader;                    // as received ("" when none)
  std::size_t cookieHeaderCount = 0;           // how many Cookie headers came
  std::string userAgent;
};

struct Request {
  std::string method;
  std::string target;  // path and query as sent
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // in arrival order

  // The first value of a header (case-insensitive name), or nothing.
  std::optional<std::string> header(const std::string& name) const;
  std::size_t headerCount(const std::string& name) const;
};

struct Fault {
  enum class Kind { failTimes, stall, respond, head404, dropMidBody };
  Kind kind = Kind::respond;
  int count = 1;            // failTimes: how many requests fail before the path works again
  int status = 500;         // failTimes, respond
  std::string body;         // failTimes, respond
  std::chrono::milliseconds duration{0};  // stall: how long (0: until cleared or stopped)
  std::size_t afterBytes = 0;             // stall, dropMidBody: body bytes sent first

  // The next `n` requests answer `status` with `body`.
  static Fault failTimes(int n, int status = 500, std::string body = "");
  // Holds the answer (after `afterBytes` bytes of the body when not 0).
  static Fault stall(std::chrono::milliseconds duration = {}, std::size_t afterBytes = 0);
  // Every request answers `status` with `body`.
  static Fault respond(int status, std::string body = "");
  // HEAD answers 404; GET is served.
  static Fault head404();
  // The full length is announced, `afterBytes` bytes are sent, then the
  // connection is closed.
  static Fault dropMidBody(std::size_t afterBytes);

  // {"kind":"failTimes|stall|respond|head404|dropMidBody", "count":N, "status":N,
  //  "body":"...", "ms":N, "bytes":N}; nothing when the text is not such an object.
  static std::optional<Fault> fromJson(const std::string& json);
};

class Publisher {
 public:
  explicit Publisher(std::string root);
  ~Publisher();
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;

  // Listens on host:port (port 0 picks a free port) and serves on a thread of
  // its own; throws std::runtime_error when it cannot listen.
  void start(const std::string& host = "127.0.0.1", int port = 0);
  // Ends stalls, stops listening and waits for the serving threads.
  void stop();

  int port() const { return port_; }
  // "http://127.0.0.1:<port>"
  std::string origin() const;

  void setRoot(std::string root);
  std::string root() const;

  // Serves the app itself as game 128000: a release of the app bundle
  // `appBundle` (its copy's CFBundleShortVersionString set to `version`
  // unless that is empty), published with jorvu-pack as <root>/app-source,
  // and the catalogue records of the tags "678e" and "678e/dev" naming it,
  // installed into the folder "Vorn". Needs start(). Returns the release's
  // manifest name; throws std::runtime_error when it cannot publish.
  // `packTool`: jorvu-pack's path ("" finds it beside this program or in
  // JORVU_BIN_DIR).
  std::string publishApp(const std::string& appBundle, const std::string& version = "",
                         const std::string& packTool = "");

  // The catalogue record of `game` ("<code>[@tag]") becomes a copy of
  // <root>/records/<record>.json, swapped in whole. False when there is no
  // such record; std::invalid_argument for names that are not plain.
  bool useRecord(const std::string& game, const std::string& record);

  void setFault(const std::string& path, Fault fault);
  void clearFault(const std::string& path);
  void clearFaults();

  std::vector<Report> reports() const;
  // Waits until at least `n` reports have arrived; false on time-out.
  bool waitForReports(std::size_t n, std::chrono::milliseconds timeout) const;
  std::vector<Request> catalogueRequests() const;
  std::vector<Request> ticketRequests() const;
  // Requests seen for a path (any route, faults included).
  std::size_t requestCount(const std::string& path) const;
  // Waits until at least `n` requests for `path` have arrived; false on time-out.
  bool waitForRequests(const std::string& path, std::size_t n, std::chrono::milliseconds timeout) const;

 private:
  struct ActiveFault {
    Fault fault;
    int used = 0;
  };

  void handle(const httplib::Request& req, httplib::Response& res);
  // Applies a fault; true when the fault answered the request.
  bool applyFault(const httplib::Request& req, httplib::Response& res, const std::string& body, bool& bodyServed);
  void serveReport(const httplib::Request& req, httplib::Response& res);
  void serveCatalogue(const httplib::Request& req, httplib::Response& res);
  void serveTicket(const httplib::Request& req, httplib::Response& res);
  void serveStatic(const httplib::Request& req, httplib::Response& res);
  void servePage(const httplib::Request& req, httplib::Response& res);
  void serveControl(const httplib::Request& req, httplib::Response& res);
  void sendBody(const httplib::Request& req, httplib::Response& res, std::string body, const std::string& type);
  // Blocks until `duration` passes (0: forever), the faults change, the
  // publisher stops or the peer of `connection` (a socket, -1: not watched)
  // has gone. True when it should go on serving. Runs on the connection's
  // thread, which holds nothing else meanwhile.
  bool stallFor(int connection, std::chrono::milliseconds duration, std::uint64_t generation);
  // Wakes every stall to look again (under mutex_).
  void wakeStallsLocked();
  std::optional<std::string> fileUnderRoot(const std::string& relative) const;

  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  std::string host_ = "127.0.0.1";

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stopping_ = false;
  std::uint64_t faultGeneration_ = 0;  // bumped whenever faults change
  // Closed at its write end when the faults change or the publisher stops:
  // the held stalls wait on it. Made afresh for the stalls after a change.
  std::shared_ptr<WakePipe> stallWake_;
  std::string root_;
  std::map<std::string, ActiveFault> faults_;
  std::vector<Report> reports_;
  std::vector<Request> catalogueRequests_;
  std::vector<Request> ticketRequests_;
  std::map<std::string, std::size_t> counts_;
  int appReleases_ = 0;
};

}  // namespace publisher
