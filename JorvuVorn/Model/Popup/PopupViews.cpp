#include "JorvuVorn/Model/Popup/PopupViews.hpp"

#include <utility>

#include "Common/Locale/LanguageCode.hpp"
#include "Common/Logger/VornLogger.hpp"
#include "JorvuVorn/Model/Popup/HelpPage.hpp"
#include "JorvuVorn/Model/Popup/PopupFormatting.hpp"

using namespace popup;

namespace {

constexpr const char* kWhite = "#ffffff";
constexpr const char* kBlack = "#000000";
constexpr const char* kGrey = "#999999";
constexpr const char* kRed = "#ff0014";

Element space(double length) { return {Space{length}}; }
Element spacer() { return {Spacer{}}; }

Text text(std::string key, FontWeight weight, double size, std::string color = kBlack) {
  Text t;
  t.key = std::move(key);
  t.font = {weight, size};
  t.color = std::move(color);
  return t;
}

Text verbatim(std::string value, FontWeight weight, double size, std::string color = kBlack) {
  Text t = text(std::move(value), weight, size, std::move(color));
  t.verbatim = true;
  return t;
}

// The grey code lines of the setup and sign-in popups.
Text codeLine(std::string pattern, std::vector<std::string> values) {
  Text t = text(std::move(pattern), FontWeight::regular, 14, kGrey);
  t.values = std::move(values);
  t.letterSpacing = -0.42;
  return t;
}

Element el(Text t) { return {std::move(t)}; }
Element el(Button b) { return {std::move(b)}; }
Element el(Stack s) { return {std::move(s)}; }
Element el(Box b) { return {std::move(b)}; }
Element el(InfoBox b) { return {std::move(b)}; }

Element image(std::string name, std::optional<PanelSize> size = std::nullopt) {
  return {Image{std::move(name), size}};
}

Stack vstack(std::vector<Element> children, double spacing = 0, Alignment alignment = Alignment::center) {
  return Stack{Axis::vertical, spacing, alignment, std::move(children)};
}

Stack hstack(std::vector<Element> children, double spacing = 0) {
  return Stack{Axis::horizontal, spacing, Alignment::center, std::move(children)};
}

// An information box, 400 points wide with its inner margins.
InfoBox infoBox(double height, double top, double leading, double bottom, double trailing) {
  InfoBox box;
  box.height = height;
  box.paddingTop = top;
  box.paddingLeading = leading;
  box.paddingBottom = bottom;
  box.paddingTrailing = trailing;
  return box;
}

Text infoLabel(std::string key) { return text(std::move(key), FontWeight::medium, 15, kGrey); }

Text infoValue(std::string value, int maxLines, std::string color = kBlack) {
  Text t = verbatim(std::move(value), FontWeight::medium, 15, std::move(color));
  t.maxLines = maxLines;
  return t;
}

Element exclamationCircle() { return image("ExclamationMark_circle"); }

Element titleBar() {
  Box bar;
  bar.fill = "#2e3135";
  bar.width = -1;
  bar.height = 28;
  bar.paddingTop = bar.paddingLeading = bar.paddingBottom = bar.paddingTrailing = 5;
  bar.content = hstack({space(8), el(CloseBtn()), space(90), image("JorvuVornTitleBarIcon", PanelSize{16, 16}),
                        space(5), el(text("JorvuVorn", FontWeight::regular, 13, kWhite)), spacer()});
  return el(std::move(bar));
}

// The two borderless popups: dark, with the title bar across the top.
Body darkBody(PanelSize size, std::vector<Element> below) {
  std::vector<Element> children{titleBar()};
  for (auto& element : below) children.push_back(std::move(element));
  return Body{size, "#1d1e1f", true, true, vstack(std::move(children))};
}

Body whiteBody(PanelSize size, std::vector<Element> children) {
  return Body{size, kWhite, false, false, vstack(std::move(children))};
}

Body bodyOf(const UnsupportedAppLaunchingErrorView& view, const PopupEnvironment&) {
  return darkBody(view.panelSize, {space(40), el(text("unsupported_app_launching_message_1", FontWeight::regular, 12, kWhite)),
                                   space(13), el(text("unsupported_app_launching_message_2", FontWeight::regular, 12, kWhite)),
                                   space(32), el(okBtn()), space(30)});
}

Body bodyOf(const UnsupportedOSErrorView& view, const PopupEnvironment&) {
  return darkBody(view.panelSize, {space(30), image("ExclamationMark_triangle"), space(15),
                                   el(text("unsupported_os_message", FontWeight::regular, 12, kWhite)), space(30),
                                   el(okBtn()), space(30)});
}

Body bodyOf(const OSVersionErrorView& view, const PopupEnvironment&) {
  const OSVersionError& error = view.osversionError;
  InfoBox box = infoBox(82, 20, 25, 20, 20);
  box.rows = {{infoLabel("os_version_limit_supoort_os_version"),
               {infoValue(getOSVersionName(error.limit), 1), text("or higher", FontWeight::medium, 15)}},
              {infoLabel("os_version_limit_current_os_version"), {infoValue(getOSVersionName(error.current), 1, "#FF0014")}}};
  return whiteBody(view.panelSize,
                   {space(36), exclamationCircle(), space(10),
                    el(text("os_version_limit_message_1", FontWeight::regular, 15)), space(8),
                    el(text("os_version_limit_message_2", FontWeight::regular, 15)), space(30), el(std::move(box)),
                    space(3.5), el(hstack({el(ignoreAndInstallBtn()), el(cancelInstallationBtn())}, 8)), space(25)});
}

Body bodyOf(const MaintenanceErrorView& view, const PopupEnvironment&) {
  const MaintenanceError& error = view.maintenanceError;
  // Two lines of reason fill the box with the two times above it.
  InfoBox box = infoBox(130, 20, 27, 20, 27);
  box.rows = {{infoLabel("game_service_maintenance_start_time"), {infoValue(error.startTime, 1)}},
              {infoLabel("game_service_maintenance_end_time"), {infoValue(error.endTime, 1)}},
              {infoLabel("game_service_maintenance_reason"), {infoValue(error.reason, 2)}}};
  return whiteBody(
      view.panelSize,
      {space(40), el(text("game_service_maintenance_message_1", FontWeight::bold, 20)), space(8),
       el(text("game_service_maintenance_message_2", FontWeight::regular, 15)), space(30), el(std::move(box)),
       space(12),
       el(hstack({el(text("game_service_maintenance_message_3_1", FontWeight::regular, 14)),
                  el(text("game_service_maintenance_notice", FontWeight::bold, 14)),
                  el(text("game_service_maintenance_message_3_2", FontWeight::regular, 14))})),
       space(30), el(okBtnCustom()), space(25)});
}

Body bodyOf(const UnknownErrorView& view, const PopupEnvironment&) {
  return whiteBody(view.panelSize, {space(36), exclamationCircle(), space(10),
                                    el(verbatim(view.errorMessage, FontWeight::regular, 15)), space(35),
                                    el(okBtnCustom()), space(25)});
}

Body bodyOf(const InternetErrorView& view, const PopupEnvironment& environment) {
  return whiteBody(view.panelSize, {space(36), exclamationCircle(), space(10),
                                    el(text("internet_error_message", FontWeight::regular, 15)), space(35),
                                    el(languageBtn(view.errorCodeInfo, environment)), space(25)});
}

Body bodyOf(const SetupErrorView& view, const PopupEnvironment& environment) {
  const ErrorCodeInfo& codes = view.setupError.errorCodeInfo;
  return whiteBody(view.panelSize,
                   {space(40), el(text(view.errorMessage, FontWeight::regular, 15)), space(10),
                    el(codeLine("ERROR CODE = %@(%@,%@)", {codes.errorCode, codes.mainErrorCode, codes.subErrorCode})),
                    space(30), el(languageBtn(codes, environment)), space(25)});
}

Body bodyOf(const DriverSpaceErrorView& view, const PopupEnvironment&) {
  std::vector<Element> children{space(40)};
  if (view.capacityError.setupOpreation == SetupOpreation::install) {
    children.push_back(el(hstack({el(text("driver_space_error_install_message_1", FontWeight::regular, 15)),
                                  el(verbatim(byteCountText(view.capacityError.require), FontWeight::bold, 15)),
                                  el(text("driver_space_error_install_message_2", FontWeight::regular, 15))})));
    children.push_back(space(5));
    children.push_back(el(text("driver_space_error_install_message_3", FontWeight::regular, 15)));
  } else {
    children.push_back(el(text("driver_space_error_patch_message_1", FontWeight::regular, 15)));
    children.push_back(space(5));
    children.push_back(el(text("driver_space_error_patch_message_2", FontWeight::regular, 15)));
  }
  children.push_back(space(30));
  InfoBox box = infoBox(70, 0, 27, 0, 27);
  box.leading = verbatim(view.volumeName, FontWeight::regular, 15);
  box.trailing = verbatim(view.capacityMessage, FontWeight::bold, 15, kRed);
  children.push_back(el(std::move(box)));
  children.push_back(space(35));
  children.push_back(el(okBtnCustom()));
  children.push_back(space(25));
  return whiteBody(view.panelSize, std::move(children));
}

Body bodyOf(const VANTIXErrorView& view, const PopupEnvironment&) {
  const VANTIXStatusError status = vantixStatusOf(view.errorCode);
  VornLogger::logging(VornLogLevel::error, std::string("VANTIX failed, err=") + toString(status));
  std::vector<Element> message;
  for (const std::string& key : vantixMessageKeys(status)) {
    if (!message.empty()) message.push_back(space(5));
    message.push_back(el(text(key, FontWeight::regular, 15)));
  }
  if (status == VANTIXStatusError::unknown) {
    message.push_back(space(10));
    message.push_back(el(codeLine("ERROR CODE = %lld", {std::to_string(view.errorCode)})));
  }
  return whiteBody(view.panelSize, {space(36), exclamationCircle(), space(10), el(vstack(std::move(message))),
                                    space(20), el(okBtnCustom()), space(25)});
}

const char* vantixSuffix(VANTIXStatusError status) {
  switch (status) {
    case VANTIXStatusError::unauthorized:
      return "none_access_authority";
    case VANTIXStatusError::unsupportedRegion:
      return "unsupported_region";
    case VANTIXStatusError::serverUnderConstruction:
      return "server_inspection";
    case VANTIXStatusError::networkError:
      return "network_connection_fail";
    case VANTIXStatusError::blockAccount:
      return "abnormal_access";
    case VANTIXStatusError::inProcessingWithdraw:
      return "in_process_secession";
    case VANTIXStatusError::ageLimit:
      return "age_limit";
    case VANTIXStatusError::identityVerificationRequired:
      return "need_identification";
    case VANTIXStatusError::accountBlockedByAdmin:
      return "limit_by_administrator";
    case VANTIXStatusError::cannotFoundZQKUser:
    case VANTIXStatusError::unregisterTPA:
      return "not_signed_up_member";
    case VANTIXStatusError::waitingForRegister:
      return "waiting_sign_up";
    case VANTIXStatusError::longTermNoLogin:
      return "id_lock_dormancy";
    case VANTIXStatusError::jorvuCompanyUnderConstruction:
      return "service_inspection";
    case VANTIXStatusError::notSupportedCountry:
    case VANTIXStatusError::unknown:
      break;
  }
  return nullptr;
}

}  // namespace

PopupEnvironment PopupEnvironment::current() { return {currentLanguageCode(), ::helpHost()}; }

SetupErrorView::SetupErrorView(PanelSize size, SetupError error)
    : errorMessage(error.errorCodeInfo.mainErrorCode == "933"                    ? "driver_space_error_message"
                   : error.setupOpreation == SetupOpreation::update ? "patch_failed_message_1"
                                                                    : "install_failed_message_1"),
      panelSize(size),
      setupError(std::move(error)) {}

DriverSpaceErrorView::DriverSpaceErrorView(PanelSize size, CapacityError error)
    : DriverSpaceErrorView(size, error, getRootVolumeName()) {}

DriverSpaceErrorView::DriverSpaceErrorView(PanelSize size, CapacityError error, std::string volume)
    : capacityMessage(::capacityMessage(error.total)), volumeName(std::move(volume)), panelSize(size),
      capacityError(error) {}

VANTIXStatusError vantixStatusOf(std::int64_t errorCode) {
  return vantixStatusError(errorCode).value_or(VANTIXStatusError::unknown);
}

std::vector<std::string> vantixMessageKeys(VANTIXStatusError status) {
  if (status == VANTIXStatusError::notSupportedCountry) return {"ids_vantix_ticket_error_not_supported_locale"};
  const char* suffix = vantixSuffix(status);
  const std::string stem = std::string("ids_vantix_ticket_error_") + (suffix != nullptr ? suffix : "common_format");
  return {stem + "_1", stem + "_2"};
}

const char* viewName(const PopupView& view) {
  static constexpr const char* names[] = {"UnsupportedAppLaunchingErrorView",
                                          "UnsupportedOSErrorView",
                                          "OSVersionErrorView",
                                          "MaintenanceErrorView",
                                          "UnknownErrorView",
                                          "InternetErrorView",
                                          "SetupErrorView",
                                          "DriverSpaceErrorView",
                                          "VANTIXErrorView"};
  return names[view.index()];
}

const PanelSize& panelSizeOf(const PopupView& view) {
  return std::visit([](const auto& v) -> const PanelSize& { return v.panelSize; }, view);
}

Body body(const PopupView& view, const PopupEnvironment& environment) {
  return std::visit([&](const auto& v) { return bodyOf(v, environment); }, view);
}

namespace popup {

Button okBtn() {
  Button b;
  b.style = ButtonStyle::filled;
  b.label = text("OK", FontWeight::bold, 12, kWhite);
  b.backgroundColor = "#0077ff";
  return b;
}

Button okBtnCustom() {
  Button b;
  b.style = ButtonStyle::outlined;
  b.label = text("OK", FontWeight::medium, 14);
  return b;
}

Button cancelInstallationBtn() {
  Button b = okBtnCustom();
  b.label = text("Cancel Installation", FontWeight::medium, 14);
  return b;
}

Button ignoreAndInstallBtn() {
  Button b;
  b.style = ButtonStyle::plain;
  Text label = text("Ignore and install", FontWeight::medium, 12, kGrey);
  label.underline = true;
  b.label = std::move(label);
  b.trailingImage = Image{"ArrowRight", std::nullopt};
  b.answer = true;
  return b;
}

Button seeTheTroubleshootBtn(const std::string& errorCode, const std::string& subErrorCode,
                             const PopupEnvironment& environment) {
  Button b = okBtnCustom();
  b.label = text("See the troubleshoot", FontWeight::medium, 14);
  b.helpURL = troubleshootURL(environment.helpHost, errorCode, subErrorCode);
  return b;
}

Button CloseBtn() {
  Button b;
  b.style = ButtonStyle::closeCircle;
  b.backgroundColor = "#ec695e";
  return b;
}

Button languageBtn(const ErrorCodeInfo& info, const PopupEnvironment& environment) {
  if (environment.languageCode == "ko") return seeTheTroubleshootBtn(info.errorCode, info.subErrorCode, environment);
  return okBtnCustom();
}

}  // namespace popup
