// Reads lines of "FRACTION VALUE..." and prints each one's percentile
// (support/percentile.h), for percentile_agrees.py to compare.
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "percentile.h"

int main()
{
    for (std::string line; std::getline(std::cin, line);) {
        std::istringstream fields(line);
        double fraction = 0.0;
        fields >> fraction;
        std::vector<double> values;
        for (double value; fields >> value;) {
            values.push_back(value);
        }
        std::printf("%.17g\n", percentile(values, fraction));
    }
    return 0;
}
