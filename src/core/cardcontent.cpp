#include "core/cardcontent.h"

#include "core/fileinfo.h"
#include "core/fileutil.h"

namespace core {

std::string CardContent::FirText() const
{
    if (firs.empty())
        return "-";
    return firs.size() == 1 ? firs.front() : std::to_string(firs.size()) + " fir files";
}

CardContent ReadCardContent(const std::string& root)
{
    CardContent c;
    if (root.empty())
        return c;
    c.autoexec = FileExistsNoCase(root, "autoexec.bin");
    if (c.autoexec)
        c.autoexecInfo = FileInfoText(ResolveNoCase(root, "autoexec.bin"));
    c.diskboot = FileExistsNoCase(root, "DISKBOOT.BIN");
    c.ml = FolderExistsNoCase(root, "ML");
    c.chdk = FolderExistsNoCase(root, "CHDK");
    c.dcim = FolderExistsNoCase(root, "DCIM");
    c.firs = ListFiles(root, "*.fir");
    return c;
}

}  // namespace core
