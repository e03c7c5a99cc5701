#include "platform/SharedLibrary.h"

#include <dlfcn.h>

namespace vgplat {

SharedLibrary::~SharedLibrary()
{
    Close();
}

bool SharedLibrary::Load(const std::string& folder, const std::string& name)
{
    Close();
    m_path = folder + "lib" + name + ".so";
    // A path with a "/" keeps dlopen from searching the library path: only our own folder counts.
    if (m_path.find('/') == std::string::npos)
        m_path = "./" + m_path;
    m_handle = ::dlopen(m_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_handle) {
        const char* error = ::dlerror();
        m_error = error ? error : "dlopen failed";
        return false;
    }
    m_error.clear();
    return true;
}

void* SharedLibrary::Symbol(const char* name) const
{
    return m_handle ? ::dlsym(m_handle, name) : nullptr;
}

void SharedLibrary::Close()
{
    if (m_handle) {
        ::dlclose(m_handle);
        m_handle = nullptr;
    }
}

} // namespace vgplat
