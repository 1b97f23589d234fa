#pragma once

#include <QHash>
#include <QLatin1StringView>
#include <QString>

#include <functional>
#include <memory>

class MessageBoxes;
class QSettings;

// The user's last choices, one named text per key.
enum class Setting {
    WebSite,
    Text2,
    Jpg,
    Gif,
    X,
    XFilter,
    LastFolderDot,
    FindMode,
    Parallel,
    OnExists,
    Retries,
    LimitRate,
    Wait,
    Cookies,
    DownloadArchive,
    SendReferer,
    UntickSaved,
    FollowLinks,
    PictureSizes,
    GalleryGeometry,
    GalleryMinWidth,
    GalleryMinHeight,
    GalleryMinSize,
    GalleryType,
    GalleryPattern,
    GallerySort,
};

// How a key is read back and what stands in for it while it has never been written.
struct SettingInfo {
    Setting setting;
    QLatin1StringView key;
    // Check-box keys hold "1" or "0" and are read by their numeric value.
    bool checkBox;
    QLatin1StringView defaultText;
    // The default is the desktop folder rather than defaultText.
    bool defaultsToDesktop;
};

// Every key the program stores, with its default and its reading rule.
inline constexpr SettingInfo settingsTable[] = {
    {Setting::WebSite, QLatin1StringView("Web Site"), false, QLatin1StringView(""), false},
    {Setting::Text2, QLatin1StringView("Text2"), false, QLatin1StringView(""), true},
    {Setting::Jpg, QLatin1StringView("JPG"), true, QLatin1StringView("1"), false},
    {Setting::Gif, QLatin1StringView("GIF"), true, QLatin1StringView("1"), false},
    {Setting::X, QLatin1StringView("X"), true, QLatin1StringView("0"), false},
    {Setting::XFilter, QLatin1StringView("X Filter"), false, QLatin1StringView("BMP,PNG"), false},
    {Setting::LastFolderDot, QLatin1StringView("LastFolderDot"), false, QLatin1StringView(""), false},
    // "classic" or "browser": how the listing finds the page's images. Written only when the
    // user changes it, so a first start still writes the keys it always wrote.
    {Setting::FindMode, QLatin1StringView("Find Mode"), false, QLatin1StringView("classic"), false},
    // The download options; never written by the window on its own, so a first start writes only
    // the keys above. The Options menu writes them as the command line spells them.
    {Setting::Parallel, QLatin1StringView("Parallel"), false, QLatin1StringView("1"), false},
    {Setting::OnExists, QLatin1StringView("On Exists"), false, QLatin1StringView("replace"), false},
    {Setting::Retries, QLatin1StringView("Retries"), false, QLatin1StringView("0"), false},
    {Setting::LimitRate, QLatin1StringView("Limit Rate"), false, QLatin1StringView(""), false},
    {Setting::Wait, QLatin1StringView("Wait"), false, QLatin1StringView("0"), false},
    {Setting::Cookies, QLatin1StringView("Cookies"), false, QLatin1StringView(""), false},
    {Setting::DownloadArchive, QLatin1StringView("Download Archive"), false, QLatin1StringView(""), false},
    // The page has always been sent as the images' Referer, so the default stays on.
    {Setting::SendReferer, QLatin1StringView("Send Referer"), true, QLatin1StringView("1"), false},
    {Setting::UntickSaved, QLatin1StringView("Untick Saved"), true, QLatin1StringView("0"), false},
    // Which links a listing follows ("none", "thumbnails", "links") and which sizes of a picture it
    // keeps ("all", "largest"), as the command line spells them; written only when chosen.
    {Setting::FollowLinks, QLatin1StringView("Follow Links"), false, QLatin1StringView("none"), false},
    {Setting::PictureSizes, QLatin1StringView("Picture Sizes"), false, QLatin1StringView("all"), false},
    // The gallery window: its place and size ("x,y,width,height", empty: beside the main window)
    // and its filter bar, each written only when the user changes it.
    {Setting::GalleryGeometry, QLatin1StringView("Gallery Geometry"), false, QLatin1StringView(""), false},
    {Setting::GalleryMinWidth, QLatin1StringView("Gallery Min Width"), false, QLatin1StringView("0"), false},
    {Setting::GalleryMinHeight, QLatin1StringView("Gallery Min Height"), false, QLatin1StringView("0"),
     false},
    {Setting::GalleryMinSize, QLatin1StringView("Gallery Min Size"), false, QLatin1StringView(""), false},
    {Setting::GalleryType, QLatin1StringView("Gallery Type"), false, QLatin1StringView("all"), false},
    {Setting::GalleryPattern, QLatin1StringView("Gallery Pattern"), false, QLatin1StringView(""), false},
    // "page", "dimensions", "size" or "name".
    {Setting::GallerySort, QLatin1StringView("Gallery Sort"), false, QLatin1StringView("page"), false},
};

const SettingInfo& settingInfo(Setting setting);

namespace net {
struct RunOptions;
}
using DownloadOptions = net::RunOptions;
class SettingsStore;
// The download options the window's run uses, from the store; a value out of its range or
// malformed counts as its default.
DownloadOptions storedDownloadOptions(const SettingsStore& store);

// The numeric value of the number a text begins with (after leading blanks): "1.0" and "01" are 1,
// "2" is 2, a text that begins with no number is 0.
double numericValue(const QString& text);

// Per-user settings in an INI file (organisation and application "Quennick", section "Varnolux").
// Every write reaches the disk at once. A file that cannot be read or written never stops the
// program: the store then keeps values in memory only, starts from the defaults if the file was
// unreadable, and tells the user once that settings cannot be saved.
class SettingsStore {
public:
    // desktopFolder gives the default of "Text2"; it may throw, and it is asked before the stored
    // value is looked at, so its failure fails the read whatever is stored.
    SettingsStore(MessageBoxes& notices, std::function<QString()> desktopFolder);
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    // The stored text, or the key's default when it was never written.
    QString read(Setting setting) const;
    // A check-box key: ticked when the numeric value of its text is 1.
    bool readTick(Setting setting) const;
    void write(Setting setting, const QString& text);
    void writeTick(Setting setting, bool ticked);

    // False once the file turned out unreadable or unwritable.
    bool saving() const { return m_state == State::Healthy; }
    QString fileName() const;

private:
    enum class State { Healthy, Unreadable, Unwritable };
    void tellOnce() const;

    MessageBoxes& m_notices;
    std::function<QString()> m_desktopFolder;
    std::unique_ptr<QSettings> m_settings;
    State m_state = State::Healthy;
    // Values written since the file failed; they last until the program ends.
    QHash<QString, QString> m_unsaved;
    mutable bool m_told = false;
};
