// The store's credentials, found as every S3 tool finds them:
// AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, else the profile AWS_PROFILE
// (default "default") of the shared credentials file AWS_SHARED_CREDENTIALS_FILE
// (default ~/.aws/credentials), which must have no group or other permission.
#pragma once

#include <string>

#include "s3.h"

namespace zelship {

// False with one line in `error`.
[[nodiscard]] bool load_credentials(Credentials& out, std::string& error);

} // namespace zelship
