#include "JorvuVorn/Model/KtzJavaScript.hpp"

const std::string& ktzJavaScript() {
  static const std::string script = R"js(var ktz = {};
var progressCallback = null;
(function() {
  ktz.addEventCallback = function(type, callback) {
    var funcName = "ktz.addEventCallback";
    var arr = [funcName, type];
    if (type === "progress") {
      progressCallback = callback;
    }
    window.webkit.messageHandlers.ktzFunction.postMessage(arr);
  };
  ktz.resize = function(width, height) {
    var funcName = "ktz.resize";
    var arr = [funcName, width, height];
    window.webkit.messageHandlers.ktzFunction.postMessage(arr);
  };
  ktz.close = function() {
    var funcName = "ktz.close";
    var arr = [funcName];
    window.webkit.messageHandlers.ktzFunction.postMessage(arr);
  };
  ktz.progressCallback = function(jsonData) {
    var funcName = "ktz.progressCallback";
    if (progressCallback !== null) {
      progressCallback(jsonData);
    }
  };
})();
)js";
  return script;
}
