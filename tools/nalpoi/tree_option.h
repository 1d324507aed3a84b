// nalpoi --tree DIR (or NALPOI_TREE=DIR): run as if installed in DIR. The
// library reads DIR/configdat/ only when the running executable sits in
// DIR/bin/ (its lookup is fixed), so the tool places itself there (a hard
// link, or a copy across file systems) and runs from there. This is how a
// nalpoi installed in /usr/bin by a package works on a host's tree.
#ifndef NALPOI_TREE_OPTION_H
#define NALPOI_TREE_OPTION_H

#include <string>

namespace nalpoicomm {

// Takes a leading "--tree DIR" out of argv. When a tree is asked for (by the
// option or the environment) and this executable is not its bin/nalpoi,
// places it there and executes it with the other arguments; returns only
// when nothing is to be done (true) or when that failed (false, `error` set).
bool RunInRequestedTree(int& argc, char** argv, std::string& error);

}  // namespace nalpoicomm

#endif
