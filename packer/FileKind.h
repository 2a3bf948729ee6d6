// What kind of file the packer was given, told before any table is read: Windows Installer keeps
// packages, patches and transforms alike in compound files (the OLE container), and the class of
// the container's root storage says which one a file is. Read with a small reader of the
// container's header and first directory sector; portable code, the same verdict on every host.
#pragma once

#include <cstdint>

#include "ByteSource.h"

enum class FileKind {
    Package,         // the root's class is a package's
    MergeModule,     // a package's class and a ModuleSignature table: told by its tables, not here
    Patch,           // .msp
    Transform,       // .mst
    OtherCompound,   // a compound file of another class (a document, say)
    DamagedCompound, // the signature, then a header or root storage that cannot be read
    NotCompound,     // the first 8 bytes are not the compound-file signature
};

// Reads the kind of `file` from its first bytes and its first directory sector, and leaves the
// file at its first byte again. Throws what the file's reads throw; a file cut short is no
// package (NotCompound when the signature is not all there, DamagedCompound after it).
FileKind fileKindOf(ByteSource& file);

// "a patch (.msp)", "a transform (.mst)", ...: the words a refusal uses.
const wchar_t* describeKind(FileKind kind);
