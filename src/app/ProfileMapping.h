#pragma once
// How a profile's list choices become the "para" values that conversions read: the
// value mappings of the settings dialog, and the choices a profile starts with before
// the user ever saved it.

#include <optional>
#include <string>

#include "app/FormatCatalogue.h"

namespace quenza {

// Encoder name for a video encoder item (compared in lower case); nothing when the
// item has no mapping. "h264" gives "libx264".
std::optional<std::string> MapVideoEncoderItem(const std::string& item);
// Encoder name for an audio encoder item (compared in lower case).
std::optional<std::string> MapAudioEncoderItem(const std::string& item);
// "as source", "1" or "2" for a channel item (compared exactly).
std::optional<std::string> MapChannelItem(const std::string& item);
// Engine volume for a percentage item such as "100%" (percent x 256 / 100) for the
// twelve offered percentages.
std::optional<std::string> MapVolumeItem(const std::string& item);
// "full", "lbox", "pan", "center" for zoom indexes 0 .. 3.
std::optional<std::string> MapZoomIndex(int index);

// The catalogue's default item of a list (the iXxx index into it); nothing when the
// list is "null", empty, or the index is outside it.
std::optional<std::string> DefaultListItem(const std::string& list, int index);

// The choices of a profile from its catalogue defaults, mapped as the settings dialog
// maps them. A list without a usable default keeps the conversion's default for its
// value, except the volume, which stays unchanged ("256").
TProfileChoices CatalogueDefaultChoices(const TCatalogueProfile& profile);

// True when the profile's section of the settings file holds any "para" key (the
// settings dialog has saved it).
bool HasSavedChoices(const TIniFile& settingsFile, int code);

// The choices a conversion uses: the saved ones, or the defaults of the profile's
// catalogue section (already read) for a profile never saved.
TProfileChoices ReadConversionChoices(const TIniFile& settingsFile, const TCatalogueProfile& profile,
                                      int code);

}  // namespace quenza
