#pragma once
// The nine popup views as values: each holds its window's size and what it
// shows, and its body() describes the content top to bottom (PopupLayout),
// which the GTK views then draw. The button makers give the buttons the
// views share, with the answer each hands to the launch flow.
//
// Plain values; body() may be called on any thread (the sign-in view logs).
#include <cstdint>
#include <string>
#include <variant>

#include "JorvuVorn/Model/PanelSize.hpp"
#include "JorvuVorn/Model/Popup/PopupLayout.hpp"
#include "JorvuVorn/Model/Popup/PopupRecords.hpp"

// What a body depends on beyond its view: the user's language (Korean offers
// the troubleshooting button) and the help web site.
struct PopupEnvironment {
  std::string languageCode;
  std::string helpHost;
  static PopupEnvironment current();
};

struct UnsupportedAppLaunchingErrorView {
  PanelSize panelSize;
};

struct UnsupportedOSErrorView {
  PanelSize panelSize;
};

struct OSVersionErrorView {
  PanelSize panelSize;
  OSVersionError osversionError;
};

struct MaintenanceErrorView {
  PanelSize panelSize;
  MaintenanceError maintenanceError;
};

struct UnknownErrorView {
  PanelSize panelSize;
  std::string errorMessage;  // shown as it is
};

struct InternetErrorView {
  PanelSize panelSize;
  ErrorCodeInfo errorCodeInfo;
};

struct SetupErrorView {
  // The message key: "driver_space_error_message" for main error 933,
  // "patch_failed_message_1" for an update, else "install_failed_message_1".
  std::string errorMessage;
  PanelSize panelSize;
  SetupError setupError;

  SetupErrorView(PanelSize panelSize, SetupError setupError);
};

struct DriverSpaceErrorView {
  std::string capacityMessage;  // "12.3GB left"
  std::string volumeName;
  PanelSize panelSize;
  CapacityError capacityError;

  // Reads the volume name of the home folder.
  DriverSpaceErrorView(PanelSize panelSize, CapacityError capacityError);
  DriverSpaceErrorView(PanelSize panelSize, CapacityError capacityError, std::string volumeName);
};

struct VANTIXErrorView {
  PanelSize panelSize;
  std::int64_t errorCode = 0;  // the sign-in service's status code
};

using PopupView = std::variant<UnsupportedAppLaunchingErrorView, UnsupportedOSErrorView, OSVersionErrorView,
                               MaintenanceErrorView, UnknownErrorView, InternetErrorView, SetupErrorView,
                               DriverSpaceErrorView, VANTIXErrorView>;

// The view's type name ("SetupErrorView").
const char* viewName(const PopupView& view);
const PanelSize& panelSizeOf(const PopupView& view);

// The content of the view, framed to its panelSize. The sign-in view logs
// the status it explains at ERROR.
popup::Body body(const PopupView& view, const PopupEnvironment& environment);

// The shared buttons.
namespace popup {
Button okBtn();
Button okBtnCustom();
Button cancelInstallationBtn();
Button ignoreAndInstallBtn();
// Opens the help page for the two codes (when its address is valid), then
// answers false.
Button seeTheTroubleshootBtn(const std::string& errorCode, const std::string& subErrorCode,
                             const PopupEnvironment& environment);
Button CloseBtn();
// "See the troubleshoot" in Korean, "OK" in any other language.
Button languageBtn(const ErrorCodeInfo& info, const PopupEnvironment& environment);
}  // namespace popup

// The sign-in message's text keys for a status code: the "_1" and "_2" keys
// of its suffix, the single not-supported-locale key, or for any other code
// the common keys (the code line is added by the view).
std::vector<std::string> vantixMessageKeys(VANTIXStatusError status);
// The status a code is explained as: its own, or unknown when not in the table.
VANTIXStatusError vantixStatusOf(std::int64_t errorCode);
