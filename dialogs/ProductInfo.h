#pragma once
// The product's own addresses and version, shown by the dialogs and used as
// the default poster's link.

namespace dialogs {

inline constexpr int kVersionMajor = 1;
inline constexpr int kVersionMinor = 3;
inline constexpr int kVersionRelease = 1;

// The same address as the wizard's own link label and download address.
inline constexpr const char *kProductWebPage = "https://www.quellon.com/";
inline constexpr const char *kMakerWebPage = "https://tamsholt.example.org/";
inline constexpr const char *kMakerName = "Tamsholt Software";
inline constexpr const char *kMakerStreet = "Havnegade 12";
inline constexpr const char *kMakerTown = "DK-9000 Aalborg";
inline constexpr const char *kMakerCountry = "Denmark";
inline constexpr const char *kMakerPhone = "Phone +45 98 00 00 00";
inline constexpr const char *kCopyRight = "Copyright (C) Tamsholt Software. All rights reserved.";

// File names beside the program.
inline constexpr const char *kDefaultPosterFile = "QuellonPoster.bmp";
inline constexpr const char *kAcknowledgmentsFile = "ACKNOWLE.HLP";

} // namespace dialogs
