#pragma once

// The server wants every descriptor the system allows; the programs it starts (the
// browser, xdg-open) should get the ordinary limit the process started with.
namespace DescriptorLimit {

// Raises the soft limit to the hard one, remembering the limit the process had before.
void raiseForServing();

// Puts back the remembered limit. Async-signal-safe: for a child between fork and exec,
// shaped to be GLib's child setup function (the argument is unused).
void restoreInChild(void* unused = nullptr);

}  // namespace DescriptorLimit
