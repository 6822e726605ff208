#pragma once
// Message ids of the zip component and their built-in English texts.

#include <string>
#include <vector>

namespace zipmsg {

// Message ids, grouped as the component raises them.
enum : int {
    GE_FatalZip = 10101,
    GE_NoZipSpecified = 10102,
    GE_NoMem = 10103,
    GE_WrongPassword = 10104,
    GE_CopyFile = 10105,
    GE_RenameFailed = 10140,
    GE_RenameSpanned = 10141,
    GE_Processing = 10142,
    GE_RenamedTo = 10143,
    PW_UnatAddPWMiss = 10150,
    PW_UnatExtPWMiss = 10151,
    PW_Ok = 10152,
    PW_Cancel = 10153,
    PW_Caption = 10154,
    PW_MessageEnter = 10155,
    PW_MessageConfirm = 10156,
    CZ_NoExeSpecified = 10180,
    CZ_InputNotExe = 10181,
    CZ_SameNames = 10182,
    CZ_NoCopyFound = 10183,
    CZ_BrowseError = 10184,
    CZ_ExtractError = 10185,
    LI_ReadZipError = 10201,
    LI_ErrorUnknown = 10202,
    LI_WrongZipStruct = 10203,
    LI_GarbageAtEOF = 10204,
    LI_LocalMismatch = 10205,
    AD_NothingToZip = 10301,
    AD_UnattPassword = 10302,
    AD_NoFreshenUpdate = 10303,
    AD_AutoSFXWrong = 10304,
    DL_NothingToDel = 10401,
    EX_FatalUnZip = 10501,
    EX_UnAttPassword = 10502,
    EX_NoStreamDLL = 10503,
    LZ_ZipDllLoaded = 10601,
    LZ_NoZipDllExec = 10602,
    LZ_NoZipDllVers = 10603,
    LZ_NoZipDll = 10604,
    LU_UnzDllLoaded = 10701,
    LU_NoUnzDllExec = 10702,
    LU_NoUnzDllVers = 10703,
    LU_NoUnzDll = 10704,
    SF_StringToLong = 10801,
    SF_NoZipSFXBin = 10802,
    SF_InputIsNoZip = 10803,
    CZ_NoExe = 10901,
    CZ_WrongConvert = 10902,
    CZ_ErrorConvert = 10903,
    DS_NoInFile = 11001,
    DS_FileOpen = 11002,
    DS_NotaDrive = 11003,
    DS_DriveNoMount = 11004,
    DS_NoVolume = 11005,
    DS_NoMem = 11006,
    DS_Canceled = 11007,
    DS_FailedSeek = 11008,
    DS_NoOutFile = 11009,
    DS_NoWrite = 11010,
    DS_EOCBadRead = 11011,
    DS_LOHBadRead = 11012,
    DS_CEHBadRead = 11013,
    DS_LOHWrongSig = 11014,
    DS_CEHWrongSig = 11015,
    DS_LONameLen = 11016,
    DS_CENameLen = 11017,
    DS_LOExtraLen = 11018,
    DS_CEExtraLen = 11019,
    DS_DataDesc = 11020,
    DS_ZipData = 11021,
    DS_CECommentLen = 11022,
    DS_EOArchComLen = 11023,
    DS_ErrorUnknown = 11024,
    DS_NoUnattSpan = 11025,
    DS_EntryLost = 11026,
    DS_NoTempFile = 11027,
    DS_LOHBadWrite = 11028,
    DS_CEHBadWrite = 11029,
    DS_EOCBadWrite = 11030,
    DS_ExtWrongSig = 11031,
    DS_NoDiskSpace = 11032,
    DS_InsertDisk = 11033,
    DS_InsertVolume = 11034,
    DS_InDrive = 11035,
    DS_NoValidZip = 11036,
    DS_FirstInSet = 11037,
    DS_NotLastInSet = 11038,
    DS_AskDeleteFile = 11039,
    DS_AskPrevFile = 11040,
    DS_NoSFXSpan = 11041,
    DS_CEHBadCopy = 11042,
    DS_EOCBadSeek = 11043,
    DS_EOCBadCopy = 11044,
    DS_FirstFileOnHD = 11045,
    DS_InsertAVolume = 11046,
    DS_CopyCentral = 11047,
    DS_VolumeExists = 11048,
    DS_VolumeTooSmall = 11049,
};

// The text used when an id has no text: the old resource-binding hint, the
// id appended by the caller.
extern const std::string kFallbackText;

// The built-in text of `id`, or "" when the id has none.
std::string builtinText(int id);

// The text of `id`, or `defaultText` when there is none.
std::string LoadZipStr(int id, const std::string &defaultText);

// Fills the placeholders of a message text in order ("%d", "%.1d", "%s"):
// integers for the d forms, strings for s. Unknown or surplus placeholders
// stay as they are, so a text can never read past the values given.
std::string formatMessage(const std::string &text, const std::vector<std::string> &values);

} // namespace zipmsg
