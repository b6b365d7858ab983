// A driver module as the loader sees it: its file name, its entry point and
// the export directory of its image, through which other modules resolve
// their imports by name.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/module.h"
#include "platform/wdm.h"

namespace host {

class Module {
public:
    // `imports`: the routines the module takes from the platform, as the
    // host build names them (or the image does), ended by a null. `image`:
    // the loaded image the entry, the exports and the imports point into,
    // kept mapped while a copy of the module lives.
    Module(std::string name, PDRIVER_INITIALIZE entry, std::span<const MODULE_EXPORT> exports,
           const char* const* imports, std::shared_ptr<const void> image = nullptr)
        : m_name(std::move(name)), m_entry(entry), m_exports(exports), m_imports(imports), m_image(std::move(image)) {}

    const std::string& name() const { return m_name; }
    PDRIVER_INITIALIZE entry() const { return m_entry; }
    std::span<const MODULE_EXPORT> exports() const { return m_exports; }

    // What is wrong with the export directory, as the loader checks it (names
    // in strictly ascending byte order, ordinals 1 to N in that order, every
    // address set); empty when it is sound.
    std::string check() const;
    // What the loader cannot bind: each import the platform does not export
    // (Windows 98 SE's set, platform/target/imports.whitelist), by name, as
    // the platform's loader refuses such an image; empty when all bind.
    std::string link() const;
    // Whether Windows 98 SE exports a routine of this name to drivers.
    static bool platform_exports(std::string_view routine);
    // The address of the export of this name, or null; found by name, as an
    // import is resolved.
    PVOID resolve(std::string_view name) const;

private:
    std::string bind_imports() const;

    std::string m_name;
    PDRIVER_INITIALIZE m_entry;
    std::span<const MODULE_EXPORT> m_exports;
    const char* const* m_imports;
    std::shared_ptr<const void> m_image;
};

}  // namespace host
