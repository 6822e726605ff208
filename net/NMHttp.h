#pragma once
// The HTTP component the main window carries. Nothing in the program starts a
// request, so it only holds the window's property values; it creates and
// destroys like any other component and does nothing else.

#include "net/FtpReply.h"
#include "net/Psock.h"

#include <string>
#include <vector>

class THeaderInfo
{
public:
    std::string LocalMailAddress;
    std::string LocalProgram;
    std::string Cookie;
    std::string Referer;
    std::string UserId;
    std::string Password;
};

using TResultEvent = std::function<void(TCmdType Cmd)>;

// URL encoding helper of the HTTP component; only stored.
class TNMURL
{
public:
    std::string InputString;
    std::function<void(TNMURL *Sender, const std::string &Errmsg)> OnError;
};

enum UUMethods { uuMime, uuCode };

// Base64/uuencode helper of the HTTP component; only stored.
class TNMUUProcessor
{
public:
    UUMethods Method = uuMime;
    TNotifyEvent OnBeginEncode, OnEndEncode, OnBeginDecode, OnEndDecode;
};

class TNMHTTP : public TPowersock
{
public:
    TNMHTTP();

    std::string Body = "Default.htm";
    std::string Header = "Head.txt";
    THeaderInfo HeaderInfo;
    bool InputFileMode = false;
    bool OutputFileMode = false;
    // Request header lines, "Name: value" each.
    std::vector<std::string> HeaderList;

    TNotifyEvent OnAboutToSend;
    THandlerEvent OnRedirect;
    TNotifyEvent OnAuthenticationNeeded;
    TResultEvent OnSuccess;
    TResultEvent OnFailure;

    void Abort() override {}
};
