// Placeholder until the driver's sources land; removed then.
namespace driver {}
