#include "zip/ZipMessages.h"

#include <unordered_map>

namespace zipmsg {

const std::string kFallbackText =
    "ZipMsgxx.res is probably not bound to the executable\nMissing String ID is: ";

namespace {

// The texts that travel with the program. Ids raised through the formatting
// forms of EZipBuilder carry their placeholders in the order the callers give
// the values.
const std::unordered_map<int, const char *> &texts()
{
    static const std::unordered_map<int, const char *> t = {
        {GE_FatalZip, "Fatal error in the zip library while adding or deleting"},
        {GE_NoZipSpecified, "No zip file specified, or the zip file does not exist"},
        {GE_NoMem, "Not enough memory for the zip operation"},
        {GE_WrongPassword, "The two passwords do not match; no password set"},
        {GE_CopyFile, "Copying: "},
        {GE_RenameFailed, "Renaming the archive members failed"},
        {GE_RenameSpanned, "Members of a spanned archive cannot be renamed"},
        {GE_Processing, "Processing: "},
        {GE_RenamedTo, " renamed to: "},
        {PW_UnatAddPWMiss, "A password is needed to add, but the component runs unattended"},
        {PW_UnatExtPWMiss, "A password is needed to extract, but the component runs unattended"},
        {PW_Ok, "OK"},
        {PW_Cancel, "Cancel"},
        {PW_Caption, "Password"},
        {PW_MessageEnter, "Enter the password:"},
        {PW_MessageConfirm, "Confirm the password:"},
        {CZ_NoExeSpecified, "No archive to copy from or to was specified"},
        {CZ_InputNotExe, "Overwrite %s in %s ?"},
        {CZ_SameNames, "Cannot copy members between %s and %s"},
        {CZ_NoCopyFound, "Archive %s does not hold the member %s"},
        {CZ_BrowseError, "Error while reading the archive to copy from"},
        {CZ_ExtractError, "Error while copying the archive members"},
        {LI_ReadZipError, "Error reading the zip directory: the central directory cannot be reached or is damaged"},
        {LI_ErrorUnknown, "Unknown error while reading the zip directory"},
        {LI_WrongZipStruct, "Warning: the central directory is not where the end record says; the archive was shifted"},
        {LI_GarbageAtEOF, "Warning: extra bytes after the end of the archive"},
        {LI_LocalMismatch, "Warning: a local header does not match the central directory (other name, method or "
                           "sizes); that member will not be extracted: "},
        {AD_NothingToZip, "Nothing to add: no file specifications given"},
        {AD_UnattPassword, "Encryption was requested, but no password is set and the component runs unattended"},
        {AD_NoFreshenUpdate, "Freshen or update cannot be combined with spanning"},
        {AD_AutoSFXWrong, "Creating the self-extractor for the new archive failed with code %d"},
        {DL_NothingToDel, "Nothing to delete: no file specifications given"},
        {EX_FatalUnZip, "Fatal error in the unzip library while extracting"},
        {EX_UnAttPassword, "Unattended extract: encrypted members will be skipped (no password and no password handler)"},
        {EX_NoStreamDLL, "Extracting to memory needs an unzip library of version 1.60 or newer"},
        {LZ_ZipDllLoaded, "Zip library loaded"},
        {LZ_NoZipDllExec, "Entry point ZipDllExec not found in the zip library"},
        {LZ_NoZipDllVers, "Entry point GetZipDllVersion not found in the zip library"},
        {LZ_NoZipDll, "The zip library libzipdll.so cannot be loaded"},
        {LU_UnzDllLoaded, "Unzip library loaded"},
        {LU_NoUnzDllExec, "Entry point UnzDllExec not found in the unzip library"},
        {LU_NoUnzDllVers, "Entry point GetUnzDllVersion not found in the unzip library"},
        {LU_NoUnzDll, "The unzip library libunzdll.so cannot be loaded"},
        {SF_StringToLong, "The self-extractor texts are too long"},
        {SF_NoZipSFXBin, "The self-extractor stub ZipSFX.bin was not found"},
        {SF_InputIsNoZip, "The input file is not a zip archive"},
        {CZ_NoExe, "The file is not a self-extracting archive"},
        {CZ_WrongConvert, "The self-extracting archive cannot be converted"},
        {CZ_ErrorConvert, "Error while converting the self-extracting archive"},
        {DS_NoInFile, "The archive cannot be opened"},
        {DS_FileOpen, "The zip file cannot be opened"},
        {DS_NotaDrive, "Not a valid drive: %s"},
        {DS_DriveNoMount, "Drive %s is not present"},
        {DS_NoVolume, "The volume label cannot be written"},
        {DS_NoMem, "Not enough memory to show the disk question"},
        {DS_Canceled, "Cancelled by the user"},
        {DS_FailedSeek, "Seek error in the archive"},
        {DS_NoOutFile, "The output file cannot be created"},
        {DS_NoWrite, "Write error in the output file"},
        {DS_EOCBadRead, "The end-of-central-directory record cannot be read"},
        {DS_LOHBadRead, "A local header cannot be read"},
        {DS_CEHBadRead, "A central directory header cannot be read"},
        {DS_LOHWrongSig, "A local header has a wrong signature"},
        {DS_CEHWrongSig, "A central directory header has a wrong signature"},
        {DS_LONameLen, "A file name in a local header cannot be read"},
        {DS_CENameLen, "A file name in the central directory cannot be read"},
        {DS_LOExtraLen, "An extra field of a local header cannot be read or copied"},
        {DS_CEExtraLen, "An extra field of the central directory cannot be read or copied"},
        {DS_DataDesc, "A data descriptor cannot be read or copied"},
        {DS_ZipData, "The compressed data of a member cannot be read or copied"},
        {DS_CECommentLen, "A member comment cannot be read or copied"},
        {DS_EOArchComLen, "The archive comment cannot be read or copied"},
        {DS_ErrorUnknown, "Unknown error while splitting, joining or renaming"},
        {DS_NoUnattSpan, "Spanning over removable disks needs an operator"},
        {DS_EntryLost, "A member was lost while copying"},
        {DS_NoTempFile, "The temporary file cannot be created"},
        {DS_LOHBadWrite, "A local header cannot be written"},
        {DS_CEHBadWrite, "A central directory header cannot be written"},
        {DS_EOCBadWrite, "The end-of-central-directory record cannot be written"},
        {DS_ExtWrongSig, "An extended local header has a wrong signature"},
        {DS_NoDiskSpace, "This disk has not enough free space available"},
        {DS_InsertDisk, "Please insert last disk in set"},
        {DS_InsertVolume, "Please insert disk volume %.1d of %.1d"},
        {DS_InDrive, "\nin drive: %s"},
        {DS_NoValidZip, "This file is not a valid zip archive"},
        {DS_FirstInSet, "This is the first disk of a spanned set; please insert the last disk"},
        {DS_NotLastInSet, "This is disk %d of a spanned set, not the last one; please insert the last disk"},
        {DS_AskDeleteFile, "Overwrite previous file %s"},
        {DS_AskPrevFile, "Overwrite previous disk no %d"},
        {DS_NoSFXSpan, "A self-extracting archive cannot be spanned"},
        {DS_CEHBadCopy, "A central directory header cannot be copied"},
        {DS_EOCBadSeek, "Seek error while looking for the end-of-central-directory record"},
        {DS_EOCBadCopy, "The end-of-central-directory record cannot be copied"},
        {DS_FirstFileOnHD, "This is the first part of a spanned set on a fixed disk; the last part is needed"},
        {DS_InsertAVolume, "Please insert disk volume %.1d"},
        {DS_CopyCentral, "central directory"},
        {DS_VolumeExists, "Volume %s already exists; it is not overwritten without an operator"},
        {DS_VolumeTooSmall, "The maximum volume size leaves less than the minimum free volume size"},
    };
    return t;
}

} // namespace

std::string builtinText(int id)
{
    auto it = texts().find(id);
    return it == texts().end() ? std::string() : std::string(it->second);
}

std::string LoadZipStr(int id, const std::string &defaultText)
{
    std::string s = builtinText(id);
    return s.empty() ? defaultText : s;
}

std::string formatMessage(const std::string &text, const std::vector<std::string> &values)
{
    std::string out;
    size_t next = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && next < values.size()) {
            size_t j = i + 1;
            while (j < text.size() && (text[j] == '.' || (text[j] >= '0' && text[j] <= '9')))
                ++j;
            if (j < text.size() && (text[j] == 'd' || text[j] == 's')) {
                out += values[next++];
                i = j;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

} // namespace zipmsg
