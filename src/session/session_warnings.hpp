#pragma once

// The sentences a session adds to its warnings, each shown to the user as it stands.

#include <string>

namespace kivo::SessionWarnings {

inline const std::string xfa =
    "XFA forms are not supported in alpha. Values will not be treated as validated.";
inline const std::string signedFile =
    "Signed file opened read-only. Exporting a copy may not preserve signature validity.";
inline const std::string scripts =
    "This file contains JavaScript. Form calculations will not run and values are not treated as validated.";
inline const std::string sourceChanged = "The file on disk has changed since it was opened or last saved.";
inline const std::string recoveryCopy = "The original file changed. Recovery opened as a copy.";
inline const std::string sharedFieldNames =
    "Merged documents share form field names. Review values before export.";

}  // namespace kivo::SessionWarnings
