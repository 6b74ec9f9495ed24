"""A first model: declare fields, build instances, read and write them, get the data back."""
from quenlory.fields.bases import Field, Model, MultiField, ProxyField
from quenlory.model_decorator import dumps, model, raw


@model
class Address(Model):  # the base only tells type checkers the constructor
    city = Field(str)
    postcode = Field(str, optional=True)

    def __repr__(self):
        return "Address(%r)" % raw(self)


@model
class Station(Model):
    """A weather station."""

    name = Field(str)
    elevation = Field(int, default=0)              # cast: "41" becomes 41
    readings = Field(list, factory=list)           # a new list for every instance
    operator = Field(str, optional=True)           # may be left out
    address = ProxyField(Address)                  # a nested model
    position = MultiField(("lat", "lon"))          # one attribute over two raw keys

    def __repr__(self):
        return "Station(%r)" % raw(self)


# From a dictionary: the dictionary itself becomes the instance's raw data.
data = {"name": "Kew", "elevation": "41", "address": {"city": "London"}, "lat": 51.48, "lon": -0.29}
kew = Station(data)
print(kew.name, kew.elevation, kew.operator, kew.address.city, list(kew.position))
print(raw(kew) is data)

# From keywords, and both together: a keyword wins over the dictionary.
oxford = Station(name="Radcliffe", address={"city": "Oxford"}, lat=51.76, lon=-1.26, operator="University")
print(oxford.readings, oxford.operator)

# Writes go through the field's cast into the raw data.
kew.elevation = "6"
kew.readings.append(12.5)
print(kew.elevation, data["elevation"], data["readings"])

# dumps is the JSON text of the raw data.
print(dumps(oxford))

# Equality compares field by field and traces each comparison on standard output.
same = Station(dict(data))
print(kew == same)

# Mistakes are reported with the offending key.
try:
    Station({"name": "Nowhere", "colour": "red"})
except ValueError as error:
    print(error)
