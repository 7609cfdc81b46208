#include "app/Status.h"

#include <algorithm>

namespace hart {

namespace {

struct CodeName {
    std::uint8_t code;
    const char* name;
};

/* Meanings that hold for every command that uses the code. */
constexpr CodeName kResponses[] = {
    {0, "success"},
    {2, "invalid selection"},
    {3, "passed parameter too large"},
    {4, "passed parameter too small"},
    {5, "too few data bytes received"},
    {6, "device-specific command error"},
    {7, "in write-protect mode"},
    {16, "access restricted"},
    {17, "invalid device variable index"},
    {18, "invalid units code"},
    {19, "device variable index not allowed"},
    {32, "device is busy"},
    {33, "delayed response initiated"},
    {34, "delayed response running"},
    {35, "delayed response dead"},
    {36, "delayed response conflict"},
    {64, "command not implemented"},
};

struct CommandCodeName {
    std::uint16_t command;
    std::uint8_t code;
    ResponseClass kind;
    const char* name;
};

/* Codes whose meaning, and whether they warn or refuse, the command gives them. */
constexpr CommandCodeName kCommandResponses[] = {
    {6, 2, ResponseClass::Error, "invalid polling address selection"},
    {6, 12, ResponseClass::Error, "invalid mode selection"},
    {9, 8, ResponseClass::Warning, "update failure"},
    {38, 9, ResponseClass::Error, "configuration change counter mismatch"},
    {48, 14, ResponseClass::Warning, "status bytes mismatch"},
};

constexpr NamedBit kCommunicationErrors[] = {
    {0x40, "vertical parity error", "vertical_parity_error"},
    {0x20, "overrun error", "overrun_error"},
    {0x10, "framing error", "framing_error"},
    {0x08, "longitudinal parity error", "longitudinal_parity_error"},
    {0x02, "buffer overflow", "buffer_overflow"},
};

constexpr NamedBit kDeviceStatus[] = {
    {kStatusFieldDeviceMalfunction, "field device malfunction", "field_device_malfunction"},
    {kStatusConfigurationChanged, "configuration changed", "configuration_changed"},
    {kStatusColdStart, "cold start", "cold_start"},
    {kStatusMoreStatusAvailable, "more status available", "more_status_available"},
    {kStatusLoopCurrentFixed, "loop current fixed", "loop_current_fixed"},
    {kStatusLoopCurrentSaturated, "loop current saturated", "loop_current_saturated"},
    {kStatusNonPrimaryVariableOutOfLimits, "non-primary variable out of limits", "non_primary_variable_out_of_limits"},
    {kStatusPrimaryVariableOutOfLimits, "primary variable out of limits", "primary_variable_out_of_limits"},
};

constexpr NamedBit kExtendedStatus[] = {
    {0x01, "maintenance required", "maintenance_required"},
    {0x02, "device variable alert", "device_variable_alert"},
    {0x04, "critical power failure", "critical_power_failure"},
    {0x08, "failure", "failure"},
    {0x10, "outside its rated range", "outside_rated_range"},
    {0x20, "function check", "function_check"},
};

constexpr NamedBit kStandardizedStatus0[] = {
    {0x01, "simulation active", "simulation_active"},
    {0x02, "non-volatile memory defect", "non_volatile_memory_defect"},
    {0x04, "volatile memory defect", "volatile_memory_defect"},
    {0x08, "watchdog reset executed", "watchdog_reset_executed"},
    {0x10, "voltage conditions out of range", "voltage_conditions_out_of_range"},
    {0x20, "environmental conditions out of range", "environmental_conditions_out_of_range"},
    {0x40, "electronic defect", "electronic_defect"},
    {0x80, "device configuration locked", "device_configuration_locked"},
};

/* The unit codes a host meets most, in the field's usual abbreviations. */
constexpr CodeName kUnits[] = {
    {1, "inH2O@68F"},  {2, "inHg@0C"},     {3, "ftH2O@68F"}, {4, "mmH2O@68F"}, {5, "mmHg@0C"},   {6, "psi"},
    {7, "bar"},        {8, "mbar"},        {9, "g/cm2"},     {10, "kg/cm2"},   {11, "Pa"},       {12, "kPa"},
    {13, "torr"},      {14, "atm"},        {15, "ft3/min"},  {16, "gal/min"},  {17, "L/min"},    {18, "impgal/min"},
    {19, "m3/h"},      {20, "ft/s"},       {21, "m/s"},      {22, "gal/s"},    {23, "Mgal/d"},   {24, "L/s"},
    {25, "ML/d"},      {26, "ft3/s"},      {27, "ft3/d"},    {28, "m3/s"},     {29, "m3/d"},     {30, "impgal/h"},
    {31, "impgal/d"},  {32, "degC"},       {33, "degF"},     {34, "degR"},     {35, "K"},        {36, "mV"},
    {37, "ohm"},       {38, "Hz"},         {39, "mA"},       {40, "gal"},      {41, "L"},        {42, "impgal"},
    {43, "m3"},        {44, "ft"},         {45, "m"},        {46, "bbl"},      {47, "in"},       {48, "cm"},
    {49, "mm"},        {50, "min"},        {51, "s"},        {52, "h"},        {53, "d"},        {57, "%"},
    {58, "V"},         {59, "pH"},         {60, "g"},        {61, "kg"},       {62, "t"},        {63, "lb"},
    {70, "g/s"},       {71, "g/min"},      {72, "g/h"},      {73, "kg/s"},     {74, "kg/min"},   {75, "kg/h"},
    {76, "kg/d"},      {77, "t/min"},      {78, "t/h"},      {79, "t/d"},      {80, "lb/s"},     {81, "lb/min"},
    {82, "lb/h"},      {83, "lb/d"},       {91, "g/cm3"},    {92, "kg/m3"},    {93, "lb/gal"},   {94, "lb/ft3"},
    {95, "g/mL"},      {96, "kg/L"},       {97, "g/L"},      {117, "deg/s"},   {118, "rev/s"},   {119, "rpm"},
    {131, "m3/min"},   {136, "gal/h"},     {138, "L/h"},     {139, "ppm"},     {143, "deg"},     {144, "rad"},
    {163, "kohm"},     {169, "ppb"},       {237, "MPa"},     {250, "not used"}, {251, "none"},   {252, "unknown"},
    {253, "special"},
};

/* Codes 8 to 15 warn for one command and refuse for another: one that no
   table here knows counts as refused, the safer reading. */
bool IsWarning(std::uint8_t code)
{
    return (code >= 24 && code <= 27) || (code >= 96 && code <= 127);
}

} // namespace

Response DecodeResponse(std::uint16_t command, std::uint8_t code)
{
    Response response;
    response.code = code;
    if (code & 0x80) {
        response.kind = ResponseClass::CommunicationError;
        response.name = "communication error";
        response.communicationErrors = BitNames(kCommunicationErrors, code);
        return response;
    }
    response.kind = code == 0 ? ResponseClass::Success : IsWarning(code) ? ResponseClass::Warning : ResponseClass::Error;
    for (const CommandCodeName& entry : kCommandResponses) {
        if (entry.command == command && entry.code == code) {
            response.kind = entry.kind;
            response.name = entry.name;
            return response;
        }
    }
    for (const CodeName& entry : kResponses) {
        if (entry.code == code) {
            response.name = entry.name;
            return response;
        }
    }
    response.name = std::string(response.kind == ResponseClass::Warning ? "command-specific warning "
                                                                        : "command-specific error ") +
                    std::to_string(code);
    return response;
}

const char* ResponseClassName(ResponseClass kind)
{
    switch (kind) {
    case ResponseClass::Success:
        return "success";
    case ResponseClass::Warning:
        return "warning";
    case ResponseClass::Error:
        return "error";
    default:
        return "communication error";
    }
}

std::span<const NamedBit> DeviceStatusBits()
{
    return kDeviceStatus;
}

std::span<const NamedBit> ExtendedStatusBits()
{
    return kExtendedStatus;
}

std::span<const NamedBit> StandardizedStatus0Bits()
{
    return kStandardizedStatus0;
}

std::vector<std::string> BitNames(std::span<const NamedBit> table, std::uint8_t value)
{
    std::vector<std::string> names;
    for (const NamedBit& entry : table) {
        if (value & entry.bit) {
            names.emplace_back(entry.name);
        }
    }
    return names;
}

std::string UnitName(std::uint8_t code)
{
    const auto* found = std::find_if(std::begin(kUnits), std::end(kUnits), [code](const CodeName& e) { return e.code == code; });
    return found != std::end(kUnits) ? found->name : "";
}

std::string UnitText(std::uint8_t code)
{
    std::string name = UnitName(code);
    return name.empty() ? "unit " + std::to_string(code) : name;
}

} // namespace hart
