#pragma once
// Root of every class a plug-in module hands to the host by class name.

namespace korvex {

class Object {
public:
    virtual ~Object() = default;
};

}  // namespace korvex
