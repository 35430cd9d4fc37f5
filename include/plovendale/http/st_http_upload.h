#pragma once

#include <optional>
#include <string>

#include "plovendale/export.h"
#include "plovendale/platform/bytes.h"

namespace plovendale {

/// A file sent as one part of a multipart body. A plain value.
struct PLOVENDALE_API STHTTPRequestFileUpload {
    std::string path;  ///< file system path; the part's file name is its last component
    std::string parameterName;
    std::string mimeType;

    static STHTTPRequestFileUpload fileUploadWithPath(std::string path, std::string parameterName,
                                                      std::string mimeType);
    /// With mimeType "application/octet-stream".
    static STHTTPRequestFileUpload fileUploadWithPath(std::string path, std::string parameterName);
};

/// In-memory data sent as one part of a multipart body. A plain value. A part without a MIME type
/// is sent as "application/octet-stream"; one without a file name carries no filename clause.
struct PLOVENDALE_API STHTTPRequestDataUpload {
    Bytes data;
    std::string parameterName;
    std::optional<std::string> mimeType;
    std::optional<std::string> fileName;

    static STHTTPRequestDataUpload dataUploadWithData(Bytes data, std::string parameterName,
                                                      std::optional<std::string> mimeType,
                                                      std::optional<std::string> fileName);
};

}  // namespace plovendale
