// The objectNames of the windows' controls and menu items. Each carries the
// control's id ("control1001", "action32776"), so that tests and tools find
// a control by the id the windows are described with.
#pragma once

namespace velmorix::ui {

namespace main_window {
inline constexpr char kDestinationList[] = "control1001";
inline constexpr char kSourceFolder[] = "control1004";
inline constexpr char kTransferButton[] = "control1";
inline constexpr char kCloseButton[] = "control2";
inline constexpr char kBrowseButton[] = "control1003";
inline constexpr char kLogButton[] = "control1024";
// The LOG button's menu.
inline constexpr char kOpenLogAction[] = "openLogAction";
inline constexpr char kOpenHistoryAction[] = "openHistoryAction";
inline constexpr char kOnlyNewer[] = "control1002";
inline constexpr char kSkipFrontPageFolders[] = "control1012";
inline constexpr char kSkipImagesFolder[] = "control1013";
inline constexpr char kIgnoreExeFiles[] = "control1016";
inline constexpr char kDeleteOnServer[] = "control1017";

inline constexpr char kExitAction[] = "action32772";
inline constexpr char kFtpSettingsAction[] = "action32773";
inline constexpr char kHelpAction[] = "action32774";
inline constexpr char kAboutAction[] = "action32775";
inline constexpr char kDeleteMessageAction[] = "action32776";
inline constexpr char kDirectoryAction[] = "action32777";
inline constexpr char kDeleteDotsAction[] = "action32778";
// Beyond the template's menu.
inline constexpr char kDryRunAction[] = "dryRunAction";
}  // namespace main_window

namespace profile_editor {
inline constexpr char kProfileList[] = "control1005";
inline constexpr char kName[] = "control1014";
inline constexpr char kUrl[] = "control1013";
inline constexpr char kRemoteDir[] = "control1006";
inline constexpr char kUserId[] = "control1007";
inline constexpr char kPassword[] = "control1008";
inline constexpr char kPort[] = "control1009";
inline constexpr char kAddButton[] = "control1010";
inline constexpr char kUpdateButton[] = "control1011";
inline constexpr char kDeleteButton[] = "control1012";
inline constexpr char kOkButton[] = "control1";
inline constexpr char kCancelButton[] = "control2";
inline constexpr char kTimeDifference[] = "control1026";
// Beyond the template's controls.
inline constexpr char kDataMode[] = "dataMode";
inline constexpr char kSecurity[] = "security";
inline constexpr char kNameEncoding[] = "nameEncoding";
inline constexpr char kConnections[] = "connections";
inline constexpr char kTemporaryUploads[] = "temporaryUploads";
inline constexpr char kExcludePatterns[] = "excludePatterns";
inline constexpr char kConnectionTestButton[] = "connectionTest";
inline constexpr char kClockMode[] = "clockMode";
inline constexpr char kProtocol[] = "protocol";
inline constexpr char kKeyFile[] = "keyFile";
inline constexpr char kKeyFileBrowseButton[] = "keyFileBrowse";
inline constexpr char kClockNote[] = "clockNote";
}  // namespace profile_editor

namespace about_box {
inline constexpr char kIcon[] = "aboutIcon";
inline constexpr char kVersionLine[] = "aboutVersion";
inline constexpr char kConnectionLine[] = "aboutConnection";
inline constexpr char kLicenceLine[] = "aboutLicence";
inline constexpr char kOkButton[] = "control1";
}  // namespace about_box

}  // namespace velmorix::ui
