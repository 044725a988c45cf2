#pragma once
// The model search as plainly as it can be written: one full pass over the
// buffer per pattern, in table order. The fast search must agree with it.

#include "upgrade/firmwarepackage.h"

namespace upgradetest {

inline int referenceModelSearch(const unsigned char *buffer)
{
    using namespace lumora::upgrade;
    for (const ModelPattern &p : modelPatterns())
        for (int offset = 0; offset < kModelSearchEnd; ++offset) {
            bool all = true;
            for (int pos : p.positions)
                all = all && buffer[offset + pos] == static_cast<unsigned char>(p.text[pos]);
            if (all)
                return p.model;
        }
    return -1;
}

} // namespace upgradetest
