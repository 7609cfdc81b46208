#include "app/Status.h"

#include <algorithm>
#include <cctype>

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
    {33, 8, ResponseClass::Warning, "update failure"},
    {34, 8, ResponseClass::Warning, "set to nearest possible value"},
    {35, 9, ResponseClass::Error, "lower range value too high"},
    {35, 10, ResponseClass::Error, "lower range value too low"},
    {35, 11, ResponseClass::Error, "upper range value too high"},
    {35, 12, ResponseClass::Error, "upper range value too low"},
    {35, 13, ResponseClass::Error, "upper and lower range values out of limits"},
    {35, 14, ResponseClass::Warning, "span too small, accuracy may be impaired"},
    {35, 29, ResponseClass::Error, "invalid span"},
    {36, 9, ResponseClass::Error, "applied process too high"},
    {36, 10, ResponseClass::Error, "applied process too low"},
    {37, 9, ResponseClass::Error, "applied process too high"},
    {37, 10, ResponseClass::Error, "applied process too low"},
    {38, 9, ResponseClass::Error, "configuration change counter mismatch"},
    {40, 11, ResponseClass::Error, "loop current not active (multidrop mode)"},
    {45, 9, ResponseClass::Error, "not in proper current mode"},
    {45, 11, ResponseClass::Error, "loop current not active (multidrop mode)"},
    {46, 9, ResponseClass::Error, "not in proper current mode"},
    {46, 11, ResponseClass::Error, "loop current not active (multidrop mode)"},
    {48, 14, ResponseClass::Warning, "status bytes mismatch"},
    {103, 8, ResponseClass::Warning, "update times adjusted"},
    {103, 9, ResponseClass::Error, "invalid burst message"},
    {104, 9, ResponseClass::Error, "invalid burst message"},
    {104, 13, ResponseClass::Error, "invalid burst trigger mode"},
    {105, 9, ResponseClass::Error, "invalid burst message"},
    {107, 8, ResponseClass::Warning, "burst condition conflict"},
    {107, 9, ResponseClass::Error, "invalid burst message"},
    {108, 8, ResponseClass::Warning, "burst condition conflict"},
    {108, 9, ResponseClass::Error, "invalid burst message"},
    {109, 8, ResponseClass::Warning, "burst condition conflict"},
    {109, 9, ResponseClass::Error, "invalid burst message"},
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

/* The common unit codes, in the field's usual abbreviations. The keys are
   for programs and stay as they are once published; codes 240 to 249 are the
   device's own and have no name here. */
constexpr UnitInfo kUnits[] = {
    {1, "inH2O@68F", "in_h2o_68f"},
    {2, "inHg@0C", "in_hg_0c"},
    {3, "ftH2O@68F", "ft_h2o_68f"},
    {4, "mmH2O@68F", "mm_h2o_68f"},
    {5, "mmHg@0C", "mm_hg_0c"},
    {6, "psi", "psi"},
    {7, "bar", "bar"},
    {8, "mbar", "mbar"},
    {9, "g/cm2", "g_per_cm2"},
    {10, "kg/cm2", "kg_per_cm2"},
    {11, "Pa", "pa"},
    {12, "kPa", "kpa"},
    {13, "torr", "torr"},
    {14, "atm", "atm"},
    {15, "ft3/min", "ft3_per_min"},
    {16, "gal/min", "gal_per_min"},
    {17, "L/min", "l_per_min"},
    {18, "impgal/min", "impgal_per_min"},
    {19, "m3/h", "m3_per_h"},
    {20, "ft/s", "ft_per_s"},
    {21, "m/s", "m_per_s"},
    {22, "gal/s", "gal_per_s"},
    {23, "Mgal/d", "mega_gal_per_d"},
    {24, "L/s", "l_per_s"},
    {25, "ML/d", "mega_l_per_d"},
    {26, "ft3/s", "ft3_per_s"},
    {27, "ft3/d", "ft3_per_d"},
    {28, "m3/s", "m3_per_s"},
    {29, "m3/d", "m3_per_d"},
    {30, "impgal/h", "impgal_per_h"},
    {31, "impgal/d", "impgal_per_d"},
    {32, "degC", "deg_c"},
    {33, "degF", "deg_f"},
    {34, "degR", "deg_r"},
    {35, "K", "kelvin"},
    {36, "mV", "mv"},
    {37, "ohm", "ohm"},
    {38, "Hz", "hz"},
    {39, "mA", "ma"},
    {40, "gal", "gal"},
    {41, "L", "l"},
    {42, "impgal", "impgal"},
    {43, "m3", "m3"},
    {44, "ft", "ft"},
    {45, "m", "m"},
    {46, "bbl", "bbl"},
    {47, "in", "in"},
    {48, "cm", "cm"},
    {49, "mm", "mm"},
    {50, "min", "min"},
    {51, "s", "s"},
    {52, "h", "h"},
    {53, "d", "d"},
    {54, "cSt", "centistokes"},
    {55, "cP", "centipoise"},
    {56, "umho", "micromho"},
    {57, "%", "percent"},
    {58, "V", "v"},
    {59, "pH", "ph"},
    {60, "g", "g"},
    {61, "kg", "kg"},
    {62, "t", "metric_ton"},
    {63, "lb", "lb"},
    {64, "STon", "short_ton"},
    {65, "LTon", "long_ton"},
    {66, "mS/cm", "millisiemens_per_cm"},
    {67, "uS/cm", "microsiemens_per_cm"},
    {68, "N", "newton"},
    {69, "N*m", "newton_meter"},
    {70, "g/s", "g_per_s"},
    {71, "g/min", "g_per_min"},
    {72, "g/h", "g_per_h"},
    {73, "kg/s", "kg_per_s"},
    {74, "kg/min", "kg_per_min"},
    {75, "kg/h", "kg_per_h"},
    {76, "kg/d", "kg_per_d"},
    {77, "t/min", "metric_ton_per_min"},
    {78, "t/h", "metric_ton_per_h"},
    {79, "t/d", "metric_ton_per_d"},
    {80, "lb/s", "lb_per_s"},
    {81, "lb/min", "lb_per_min"},
    {82, "lb/h", "lb_per_h"},
    {83, "lb/d", "lb_per_d"},
    {84, "STon/min", "short_ton_per_min"},
    {85, "STon/h", "short_ton_per_h"},
    {86, "STon/d", "short_ton_per_d"},
    {87, "LTon/h", "long_ton_per_h"},
    {88, "LTon/d", "long_ton_per_d"},
    {89, "Dtherm", "deka_therm"},
    {90, "SGU", "specific_gravity_units"},
    {91, "g/cm3", "g_per_cm3"},
    {92, "kg/m3", "kg_per_m3"},
    {93, "lb/gal", "lb_per_gal"},
    {94, "lb/ft3", "lb_per_ft3"},
    {95, "g/mL", "g_per_ml"},
    {96, "kg/L", "kg_per_l"},
    {97, "g/L", "g_per_l"},
    {98, "lb/in3", "lb_per_in3"},
    {99, "STon/yd3", "short_ton_per_yd3"},
    {100, "degTwad", "deg_twaddell"},
    {101, "degBrix", "deg_brix"},
    {102, "degBaume heavy", "deg_baume_heavy"},
    {103, "degBaume light", "deg_baume_light"},
    {104, "degAPI", "deg_api"},
    {105, "%solids/wt", "percent_solids_weight"},
    {106, "%solids/vol", "percent_solids_volume"},
    {107, "degBalling", "deg_balling"},
    {108, "proof/vol", "proof_volume"},
    {109, "proof/mass", "proof_mass"},
    {110, "bushel", "bushel"},
    {111, "yd3", "yd3"},
    {112, "ft3", "ft3"},
    {113, "in3", "in3"},
    {114, "in/s", "in_per_s"},
    {115, "in/min", "in_per_min"},
    {116, "ft/min", "ft_per_min"},
    {117, "deg/s", "deg_per_s"},
    {118, "rev/s", "rev_per_s"},
    {119, "rpm", "rpm"},
    {120, "m/h", "m_per_h"},
    {121, "Nm3/h", "normal_m3_per_h"},
    {122, "NL/h", "normal_l_per_h"},
    {123, "SCFM", "standard_ft3_per_min"},
    {124, "bbl liq", "bbl_liquid"},
    {125, "oz", "oz"},
    {126, "ft lbf", "ft_lbf"},
    {127, "kW", "kw"},
    {128, "kWh", "kwh"},
    {129, "hp", "hp"},
    {130, "ft3/h", "ft3_per_h"},
    {131, "m3/min", "m3_per_min"},
    {132, "bbl/s", "bbl_per_s"},
    {133, "bbl/min", "bbl_per_min"},
    {134, "bbl/h", "bbl_per_h"},
    {135, "bbl/d", "bbl_per_d"},
    {136, "gal/h", "gal_per_h"},
    {137, "impgal/s", "impgal_per_s"},
    {138, "L/h", "l_per_h"},
    {139, "ppm", "ppm"},
    {140, "Mcal/h", "mega_cal_per_h"},
    {141, "MJ/h", "mega_j_per_h"},
    {142, "BTU/h", "btu_per_h"},
    {143, "deg", "deg"},
    {144, "rad", "rad"},
    {145, "inH2O@60F", "in_h2o_60f"},
    {146, "ug/L", "ug_per_l"},
    {147, "ug/m3", "ug_per_m3"},
    {148, "%consistency", "percent_consistency"},
    {149, "vol%", "volume_percent"},
    {150, "%steam quality", "percent_steam_quality"},
    {151, "ft-in-16ths", "ft_in_sixteenths"},
    {152, "ft3/lb", "ft3_per_lb"},
    {153, "pF", "pf"},
    {154, "mL/L", "ml_per_l"},
    {155, "uL/L", "ul_per_l"},
    {160, "%Plato", "percent_plato"},
    {161, "%LEL", "percent_lel"},
    {162, "Mcal", "mega_cal"},
    {163, "kohm", "kohm"},
    {164, "MJ", "mega_j"},
    {165, "BTU", "btu"},
    {166, "Nm3", "normal_m3"},
    {167, "NL", "normal_l"},
    {168, "SCF", "standard_ft3"},
    {169, "ppb", "ppb"},
    {235, "gal/d", "gal_per_d"},
    {236, "hL", "hl"},
    {237, "MPa", "mega_pa"},
    {238, "inH2O@4C", "in_h2o_4c"},
    {239, "mmH2O@4C", "mm_h2o_4c"},
    {250, "not used", "not_used"},
    {251, "none", "none"},
    {252, "unknown", "unknown"},
    {253, "special", "special"},
};

const UnitInfo* UnitEntry(std::uint8_t code)
{
    const auto* found = std::find_if(std::begin(kUnits), std::end(kUnits), [code](const UnitInfo& e) { return e.code == code; });
    return found != std::end(kUnits) ? found : nullptr;
}

bool SameIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

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

std::span<const UnitInfo> Units()
{
    return kUnits;
}

std::string UnitName(std::uint8_t code)
{
    const UnitInfo* entry = UnitEntry(code);
    return entry ? entry->name : "";
}

std::string UnitKey(std::uint8_t code)
{
    const UnitInfo* entry = UnitEntry(code);
    return entry ? entry->key : "";
}

std::optional<std::uint8_t> FindUnit(std::string_view text)
{
    /* No name or key of one unit is another's in a different case, so the
       first match is the only one. */
    for (const UnitInfo& entry : kUnits) {
        if (SameIgnoringCase(text, entry.name) || SameIgnoringCase(text, entry.key)) {
            return entry.code;
        }
    }
    return std::nullopt;
}

std::string UnitText(std::uint8_t code)
{
    std::string name = UnitName(code);
    return name.empty() ? "unit " + std::to_string(code) : name;
}

} // namespace hart
