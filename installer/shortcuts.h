// The product's shortcuts: the control panel and the uninstaller in the Start Menu folder
// and, where the system has an Administrative Tools folder, the control panel there too.
#pragma once

#include "installer/install_step.h"

#include <memory>
#include <string>
#include <utility>

// The user's and all users' Start Menu "Programs" folders and the Administrative Tools
// folder of this Windows version; "" when not found or, for the last, not applicable.
std::string GetUserProgramsDir();
std::string GetCommonProgramsDir();
std::string GetAdminToolsDir();

// One shell link, written through the shell's link object. A rollback deletes a link this
// run created and puts back the earlier content of one it overwrote.
class ShortcutStep : public InstallStep {
public:
    // Throws SilentExit with 105 unless the failure is passed over (Yes, "/Force").
    ShortcutStep(const std::string& linkPath, const std::string& target, const std::string& arguments,
                 const std::string& workingDirectory, const std::string& description,
                 const std::string& iconPath, int iconIndex);
    ~ShortcutStep();

    void ReportFailure(const std::string& reason);

private:
    void CreateLink(const std::string& target, const std::string& arguments, const std::string& workingDirectory,
                    const std::string& description, const std::string& iconPath, int iconIndex);

    void RestorePreviousLink();

    std::string path;
    bool created = false;
    // The link that stood here before this run, kept to be put back.
    bool hadPreviousLink = false;
    std::string previousLink;
};

// The two or three shortcuts of the product. A rollback deletes them in creation order. The
// list is made empty and the links by Create, so that the installer can journal the list
// before the first link is written: a run that ends without unwinding still undoes them.
class ShortcutList {
public:
    explicit ShortcutList(std::string startMenuDir) : startMenuDir(std::move(startMenuDir)) {}
    ~ShortcutList();
    ShortcutList(const ShortcutList&) = delete;
    ShortcutList& operator=(const ShortcutList&) = delete;

    void Create();
    void Commit();

private:
    std::string startMenuDir;
    std::unique_ptr<ShortcutStep> first;
    std::unique_ptr<ShortcutStep> second;
    std::unique_ptr<ShortcutStep> third;
    bool hasThird = false;
};
