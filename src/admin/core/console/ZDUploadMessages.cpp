#include "console/ZDUploadMessages.h"

ZDUploadMessages::Message ZDUploadMessages::messageForResult(ZDErrorCallback::UploadResult result)
{
    switch (result) {
    case ZDErrorCallback::UploadResult::Uploaded:
        return {QStringLiteral("Data successfully uploaded"),
                QStringLiteral("Thank you for submitting this data. We will use it to improve future versions of this "
                               "software.")};
    case ZDErrorCallback::UploadResult::Rejected:
        return {QStringLiteral("Upload failed"),
                QStringLiteral("It looks like the Zendrel server is experiencing technical issues. Please make sure "
                               "you have the latest version of this application and try again later.")};
    case ZDErrorCallback::UploadResult::ConnectionFailed:
        return {QStringLiteral("Connection failed"),
                QStringLiteral("It looks your internet connection is down or the Zendrel server is experiencing "
                               "technical problems. Please try again later.")};
    case ZDErrorCallback::UploadResult::Cancelled:
        break;
    }
    return {};
}

ZDUploadMessages::Message ZDUploadMessages::noConnection()
{
    return {QStringLiteral("Failed to establish a connection"), QStringLiteral("Please try again later.")};
}
