#include "qDefs.h"

const char* qDefs_GetModelName(unsigned model) {
    switch (model) {
        case 4: return "Alder";
        case 5: return "Birch";
        case 13: return "Cedar";
        case 14: return "Dogwood";
        case 15: return "Elm";
        case 16: return "Fir";
        case 17: return "Ginkgo";
        case 18: return "Hazel";
        case 19: return "Ironwood";
        case 20: return "Juniper";
        case 21: return "Kapok";
        case 22: return "Larch";
        case 23: return "Maple";
        case 24: return "Nutmeg";
        case 25: return "Olive";
        case 26: return "Pine";
        case 27: return "Quince";
        default: return "Unknown";
    }
}
