#pragma once
// The script injected at document start into every frame of the setup
// panel's pages. It gives the page one object, `ktz`:
//   ktz.addEventCallback(type, callback)  registers for "progress" events
//   ktz.resize(width, height)             asks for a new panel size
//   ktz.close()                           asks to close the panel (cancels the work)
//   ktz.progressCallback(jsonText)        called by the app with each progress
// Requests reach the app as arrays posted to the script message handler
// "ktzFunction": ["ktz.addEventCallback", type], ["ktz.resize", w, h],
// ["ktz.close"].
#include <string>

inline constexpr const char* kKtzScriptMessageHandlerName = "ktzFunction";

const std::string& ktzJavaScript();
