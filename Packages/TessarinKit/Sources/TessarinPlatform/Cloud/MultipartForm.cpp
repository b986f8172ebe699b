#include "TessarinPlatform/Cloud/MultipartForm.h"

namespace TessarinPlatform {

void MultipartForm::addField(std::string_view name, std::string_view value) {
    data.append("--").append(boundary).append("\r\n");
    data.append("Content-Disposition: form-data; name=\"").append(name).append("\"\r\n\r\n");
    data.append(value).append("\r\n");
}

void MultipartForm::addFile(std::string_view name, std::string_view filename, std::string_view contentType,
                            std::string_view contents) {
    data.append("--").append(boundary).append("\r\n");
    data.append("Content-Disposition: form-data; name=\"").append(name).append("\"; filename=\"");
    data.append(filename).append("\"\r\n");
    data.append("Content-Type: ").append(contentType).append("\r\n\r\n");
    data.append(contents).append("\r\n");
}

} // namespace TessarinPlatform
