// Placeholder until the virus data sources land; removed then.
namespace virusdata {}
