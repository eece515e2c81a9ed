// Placeholder packer: embeds the text as it stands.
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
int main(int argc, char** argv)
{
    int i = 1;
    if (argc > 1 && std::string(argv[1]) == "--readable")
        ++i;
    std::string name = argv[i], in = argv[i + 1], out = argv[i + 2];
    std::ifstream f(in);
    std::stringstream ss;
    ss << f.rdbuf();
    std::string s = ss.str(), e;
    for (char c : s)
        e += c == '\n' ? std::string("\\n") : c == '"' ? std::string("\\\"") : c == '\\' ? std::string("\\\\") : std::string(1, c);
    std::ofstream(out) << "constexpr char " << name << "[] = \"" << e << "\";\n";
}
