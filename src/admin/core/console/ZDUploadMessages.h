#pragma once
// The alert that ends an error log upload, chosen by its result.
#include "dispatch/ZDErrorCallback.h"

#include <QString>

class ZDUploadMessages
{
public:
    ZDUploadMessages() = delete;

    struct Message
    {
        QString title; // empty: nothing to show (cancelled by the user)
        QString text;
    };

    static Message messageForResult(ZDErrorCallback::UploadResult result);
    // No request could be made at all.
    static Message noConnection();
};
