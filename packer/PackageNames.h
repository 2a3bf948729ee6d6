// The name forms of a package's Directory and File tables, as Windows Installer reads them:
// DefaultDir is "target[:source]" and each part, like a FileName, is "[short|]long". Portable
// code, no system calls.
#pragma once

#include "tstrings.h"

// "short|long": the one the package's Word Count asks for; a single name serves as both.
tstring pickName(const tstring& names, bool shortNames);

// The source folder's name a Directory row's DefaultDir gives: without a source part the target
// names the source too.
tstring directorySourceName(const tstring& defaultDir, bool shortNames);
